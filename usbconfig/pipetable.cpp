// pipetable.cpp - the table of pipe names that opens are matched against.
//
// BuildPipeTable runs at the end of a successful start, in the Plug and Play thread. Open file
// objects point at table entries, so entries never move; they are rewritten in place with plain
// stores while DispatchCreate may scan them and transfers may load PipeInfo. A reader that
// loaded an old PipeInfo keeps a valid pointer: the interface copy it points into is retained
// until removal.

#include "kwdrv.h"

// Every name is this prefix, one name character and a terminator: "\KWDrv0" and so on.
static const char KwPipeNamePrefix[] = "\\KWDrv";
C_ASSERT(sizeof(KwPipeNamePrefix) - 1 + 2 == KW_PIPE_NAME_CHARS);

// Name character of an entry without a pipe.
constexpr WCHAR KW_UNASSIGNED_NAME_CHARACTER = 0x58; // 'X'
// Name character of pipe 0; pipe i gets this plus i, so pipes 10 to 13 get ':' ';' '<' '='.
constexpr WCHAR KW_FIRST_PIPE_NAME_CHARACTER = 0x30; // '0'

// Writes only the characters that change, so a restart that keeps the pipes never writes a
// name that a concurrent open is comparing.
static VOID SetNameCharacter(PPIPE_CONTEXT Entry, ULONG Index, WCHAR Character)
{
    if (Entry->Name[Index] != Character) {
        Entry->Name[Index] = Character;
    }
}

static VOID WritePipeName(PPIPE_CONTEXT Entry, WCHAR NameCharacter)
{
    ULONG Index = 0;
    for (; KwPipeNamePrefix[Index] != '\0'; ++Index) {
        SetNameCharacter(Entry, Index, static_cast<WCHAR>(KwPipeNamePrefix[Index]));
    }
    SetNameCharacter(Entry, Index++, NameCharacter);
    SetNameCharacter(Entry, Index, 0);
}

// Binds entry i to pipe i of InterfaceInfo, in the interface's own pipe order, and names it; every other entry is named "\KWDrvX" and left without a pipe, so a handle opened
// under that name, or still open on a pipe the new interface no longer has, is refused by the
// transfer paths instead of reaching a stale pipe handle. A pipe's entry is bound before it is
// named, so an open that matches a new name finds the new pipe. Always returns STATUS_SUCCESS.
//
// Opened is left as it is: it belongs to the handle that holds the entry, and that handle stays
// open across a stop and start. Clearing it would let a second handle open the same pipe, and
// the first handle's close would then release the pipe under the second.
//
// An interface with more pipes than the table has entries is not refused: the device works
// with its first KW_PIPE_TABLE_ENTRIES pipes. The loop visits only the table's entries, so the
// pipes beyond them get no entry and no name and nothing is written past the last entry
// (AbortPipes still aborts them, since it walks InterfaceInfo).
_Use_decl_annotations_
NTSTATUS BuildPipeTable(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION Extension = KwGetExtension(DeviceObject);
    PUSBD_INTERFACE_INFORMATION Interface = Extension->InterfaceInfo;
    ULONG NamedPipes = (Interface != NULL) ? Interface->NumberOfPipes : 0;

    for (ULONG Index = 0; Index < KW_PIPE_TABLE_ENTRIES; ++Index) {
        PPIPE_CONTEXT Entry = &Extension->PipeTable[Index];
        if (Index < NamedPipes) {
            KwStorePipeInfo(Entry, Interface->Pipes + Index);
            WritePipeName(Entry, static_cast<WCHAR>(KW_FIRST_PIPE_NAME_CHARACTER + Index));
        } else {
            WritePipeName(Entry, KW_UNASSIGNED_NAME_CHARACTER);
            KwStorePipeInfo(Entry, NULL);
        }
    }
    return STATUS_SUCCESS;
}
