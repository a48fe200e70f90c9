/*
 * initguid.h - include before a header full of DEFINE_GUID lines to define
 * (not just declare) those GUIDs in this translation unit.
 */
#ifndef INITGUID
#define INITGUID
#endif
#include "guiddef.h"
