/*
 * ntdef.h - base types of the Windows kernel for the host model.
 *
 * Every integer type has the width it has on 32-bit Windows: LONG and ULONG
 * are 32 bits (never the host's `long`), WCHAR is 16 bits (char16_t, never
 * the host's 32-bit wchar_t). Pointer-sized types follow the host pointer.
 * Calling-convention and annotation macros expand to nothing on the host.
 */
#ifndef KWSIM_NTDEF_H
#define KWSIM_NTDEF_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define KWSIM_EXTERN_C_BEGIN extern "C" {
#define KWSIM_EXTERN_C_END }
#else
#define EXTERN_C extern
#define KWSIM_EXTERN_C_BEGIN
#define KWSIM_EXTERN_C_END
#endif

/* ---- calling conventions and declaration decorations ------------------ */
/* The 32-bit model built with KWSIM_WINDOWS_ABI uses Windows' own conventions, so that a
 * kwdrv.sys image loaded into it calls the model and is called by it directly. */
#if defined(KWSIM_WINDOWS_ABI) && defined(__i386__)
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#else
#define NTAPI
#define FASTCALL
#endif
#define CDECL
#ifndef __cdecl
#define __cdecl
#endif
#define WINAPI
#define NTKERNELAPI
#define NTHALAPI
#define NTSYSAPI
#define DECLSPEC_IMPORT
#define DECLSPEC_EXPORT
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define DECLSPEC_SELECTANY __attribute__((weak))
#define FORCEINLINE static inline
#define RESTRICTED_POINTER
#define POINTER_ALIGNMENT
#define UNALIGNED

#ifndef IN
#define IN
#endif
#ifndef OUT
#define OUT
#endif
#ifndef OPTIONAL
#define OPTIONAL
#endif
#ifndef CONST
#define CONST const
#endif
#ifndef VOID
#define VOID void
#endif

/* ---- source annotations: drivers write them, the host ignores them ---- */
#define _In_
#define _In_opt_
#define _In_z_
#define _In_opt_z_
#define _Inout_
#define _Inout_opt_
#define _Inout_z_
#define _Out_
#define _Out_opt_
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Outptr_opt_result_maybenull_
#define _Outptr_result_nullonfailure_
#define _In_reads_(n)
#define _In_reads_opt_(n)
#define _In_reads_bytes_(n)
#define _In_reads_bytes_opt_(n)
#define _Out_writes_(n)
#define _Out_writes_opt_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _Out_writes_bytes_to_(n, c)
#define _Out_writes_to_(n, c)
#define _Inout_updates_(n)
#define _Inout_updates_bytes_(n)
#define _Inout_updates_bytes_opt_(n)
#define _Field_size_(n)
#define _Field_size_bytes_(n)
#define _Field_size_bytes_part_(n, c)
#define _Field_range_(a, b)
#define _In_range_(a, b)
#define _Out_range_(a, b)
#define _Ret_range_(a, b)
#define _Deref_out_range_(a, b)
#define _Reserved_
#define _Pre_notnull_
#define _Pre_satisfies_(c)
#define _Post_satisfies_(c)
#define _Post_invalid_
#define _Post_maybenull_
#define _Post_writable_byte_size_(n)
#define _Pre_
#define _Post_
#define _At_(t, a)
#define _When_(c, a)
#define _Success_(c)
#define _Check_return_
#define _Must_inspect_result_
#define _Ret_maybenull_
#define _Ret_notnull_
#define _Ret_writes_bytes_maybenull_(n)
#define _Null_terminated_
#define _Printf_format_string_
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Use_decl_annotations_
#define _Function_class_(x)
#define _Dispatch_type_(x)
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_requires_same_
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(k, p)
#define _IRQL_restores_global_(k, p)
#define _IRQL_always_function_max_(x)
#define _IRQL_always_function_min_(x)
#define _IRQL_is_cancel_
#define _IRQL_uses_cancel_
#define _Kernel_float_saved_
#define _Kernel_requires_resource_held_(x)
#define _Kernel_clear_do_init_(x)
#define _Requires_lock_held_(x)
#define _Requires_lock_not_held_(x)
#define _Acquires_lock_(x)
#define _Releases_lock_(x)
#define _Guarded_by_(x)
#define _Interlocked_
#define _Interlocked_operand_
#define _Analysis_assume_(x)
#define _Notliteral_
#define _Strict_type_match_
#define __drv_dispatchType(x)
#define __drv_maxIRQL(x)
#define __drv_minIRQL(x)
#define __drv_requiresIRQL(x)
#define __drv_setsIRQL(x)
#define __drv_savesIRQL
#define __drv_restoresIRQL
#define __drv_allocatesMem(x)
#define __drv_freesMem(x)
#define __drv_aliasesMem
#define __drv_when(c, a)
#define __drv_functionClass(x)

/* ---- scalar types (widths as on 32-bit Windows) ----------------------- */
typedef void *PVOID;
typedef void *LPVOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t INT;
typedef uint32_t UINT;
/* 64-bit integers are 8-byte aligned inside records, as with the Windows
 * compilers (the Linux i386 ABI would align them to 4). */
typedef int64_t LONGLONG DECLSPEC_ALIGN(8);
typedef uint64_t ULONGLONG DECLSPEC_ALIGN(8);
typedef LONGLONG LONG64;
typedef ULONGLONG ULONG64;
typedef ULONGLONG DWORD64;
typedef int8_t INT8;
typedef uint8_t UINT8;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef LONGLONG INT64;
typedef ULONGLONG UINT64;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef unsigned char BOOLEAN;
typedef int32_t BOOL;
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint16_t WCHAR;
#endif
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef ULONG_PTR SIZE_T;
typedef LONG_PTR SSIZE_T;
typedef ULONG_PTR DWORD_PTR;
typedef LONG NTSTATUS;
typedef LONG KPRIORITY;
typedef ULONG LOGICAL;
typedef ULONG ACCESS_MASK;
typedef ULONG LCID;
typedef ULONG SECURITY_INFORMATION;
typedef char CCHAR;
typedef int16_t CSHORT;
typedef ULONG CLONG;
typedef PVOID HANDLE;

typedef CHAR *PCHAR, *PSTR, *LPSTR;
typedef const CHAR *PCSTR, *LPCSTR;
typedef UCHAR *PUCHAR;
typedef SHORT *PSHORT;
typedef USHORT *PUSHORT;
typedef LONG *PLONG;
typedef ULONG *PULONG;
typedef LONGLONG *PLONGLONG;
typedef ULONGLONG *PULONGLONG;
typedef BOOLEAN *PBOOLEAN;
typedef WCHAR *PWCHAR, *PWSTR, *LPWSTR;
typedef const WCHAR *PCWCH, *PCWSTR, *LPCWSTR;
typedef LONG_PTR *PLONG_PTR;
typedef ULONG_PTR *PULONG_PTR;
typedef SIZE_T *PSIZE_T;
typedef NTSTATUS *PNTSTATUS;
typedef CCHAR *PCCHAR;
typedef CSHORT *PCSHORT;
typedef HANDLE *PHANDLE;
typedef ACCESS_MASK *PACCESS_MASK;
typedef PVOID *PPVOID;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif

#define MINCHAR 0x80
#define MAXCHAR 0x7f
#define MINSHORT 0x8000
#define MAXSHORT 0x7fff
#define MINLONG 0x80000000
#define MAXLONG 0x7fffffff
#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffff

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY *Flink;
  struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY, *RESTRICTED_POINTER PRLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

/* Counted UTF-16 string; Length and MaximumLength are in bytes. */
typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING;
typedef const STRING *PCSTRING;
typedef const ANSI_STRING *PCANSI_STRING;

/* ---- status classification ------------------------------------------- */
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

/* ---- record helpers --------------------------------------------------- */
#define FIELD_OFFSET(Type, Field) __builtin_offsetof(Type, Field)
#define RTL_FIELD_SIZE(Type, Field) (sizeof(((Type *)0)->Field))
#define RTL_SIZEOF_THROUGH_FIELD(Type, Field) \
  (FIELD_OFFSET(Type, Field) + RTL_FIELD_SIZE(Type, Field))
/* The offset comes from offsetof rather than a member access through a null pointer, which
 * is undefined behaviour the sanitizers report; the value is the same. */
#define CONTAINING_RECORD(address, type, field) \
  ((type *)(((ULONG_PTR)(address)) - (ULONG_PTR)FIELD_OFFSET(type, field)))
#define RTL_NUMBER_OF_V1(A) (sizeof(A) / sizeof((A)[0]))
#define RTL_NUMBER_OF_V2(A) RTL_NUMBER_OF_V1(A)
#define RTL_NUMBER_OF(A) RTL_NUMBER_OF_V1(A)
#define ARRAYSIZE(A) RTL_NUMBER_OF_V2(A)
/* Same shape as the Windows headers': a brace block assigning P to itself,
 * so a use that would not compile there does not compile here either. */
#define UNREFERENCED_PARAMETER(P) {(P) = (P);}
#define UNREFERENCED_LOCAL_VARIABLE(V) ((void)(V))
#ifdef __cplusplus
#define C_ASSERT(e) static_assert((e), #e)
#else
#define C_ASSERT(e) _Static_assert((e), #e)
#endif

#define ALIGN_DOWN_BY(length, alignment) \
  ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment) - 1))
#define ALIGN_UP_BY(length, alignment) \
  (ALIGN_DOWN_BY(((ULONG_PTR)(length) + (alignment) - 1), (alignment)))

#endif /* KWSIM_NTDEF_H */
