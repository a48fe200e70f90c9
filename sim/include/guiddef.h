/*
 * guiddef.h - GUID and DEFINE_GUID for the host model.
 *
 * DEFINE_GUID declares the named GUID; in a translation unit that included
 * <initguid.h> first it also defines it (a weak definition, so several such
 * units may define the same GUID, as __declspec(selectany) allows).
 * The DEFINE_GUID part sits outside the include guard on purpose: including
 * <initguid.h> later switches it to the defining form.
 */
#ifndef KWSIM_GUIDDEF_H
#define KWSIM_GUIDDEF_H

#include "ntdef.h"

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID *LPCGUID, *PCGUID;
typedef GUID IID, CLSID;

#ifdef __cplusplus
#define REFGUID const GUID &
#define REFIID const IID &
#else
#define REFGUID const GUID *
#define REFIID const IID *
#endif

#ifdef __cplusplus
FORCEINLINE int IsEqualGUID(REFGUID a, REFGUID b) {
  return memcmp(&a, &b, sizeof(GUID)) == 0;
}
#define InlineIsEqualGUID(a, b) IsEqualGUID(a, b)
#else
#define IsEqualGUID(a, b) (memcmp((a), (b), sizeof(GUID)) == 0)
#define InlineIsEqualGUID(a, b) IsEqualGUID(a, b)
#endif

#endif /* KWSIM_GUIDDEF_H */

#ifdef DEFINE_GUID
#undef DEFINE_GUID
#endif
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  EXTERN_C const GUID DECLSPEC_SELECTANY name =                      \
      {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  EXTERN_C const GUID name
#endif
