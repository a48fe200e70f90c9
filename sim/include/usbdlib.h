/*
 * usbdlib.h - the USBD library: descriptor parsing, select-configuration
 * request building, and the UsbBuild* URB formatting macros.
 *
 * Like the Windows header, this one expects usb.h (it includes it here so it
 * also stands alone). The UsbBuild* macros are brace blocks, exactly as on
 * Windows, so they format only the fields they name: callers zero the URB
 * first. The library routines are implemented by the model (sim/usbd).
 */
#ifndef KWSIM_USBDLIB_H
#define KWSIM_USBDLIB_H

#include "usb.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer,     \
                                               transferBufferMDL, transferBufferLength,     \
                                               transferFlags, link)                         \
  {                                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                    \
    (urb)->UrbHeader.Length = (length);                                                     \
    (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                            \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);        \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);              \
    (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                    \
    (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                      \
    (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                     \
  }

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex,          \
                                     languageId, transferBuffer, transferBufferMDL,         \
                                     transferBufferLength, link)                            \
  {                                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                    \
    (urb)->UrbHeader.Length = (length);                                                     \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);       \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);             \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                   \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                   \
    (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                           \
    (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                           \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                    \
  }

#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link)   \
  {                                                                                         \
    (urb)->UrbHeader.Function = (op);                                                       \
    (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);               \
    (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);                \
    (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);              \
    (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);                    \
    (urb)->UrbControlGetStatusRequest.Index = (index);                                      \
    (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                     \
  }

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)                       \
  {                                                                                         \
    (urb)->UrbHeader.Function = (op);                                                       \
    (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);                  \
    (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);                    \
    (urb)->UrbControlFeatureRequest.Index = (index);                                        \
    (urb)->UrbControlFeatureRequest.UrbLink = (link);                                       \
  }

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)            \
  {                                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                          \
    (urb)->UrbHeader.Length = (length);                                                     \
    (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor);      \
  }

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber,   \
                                       alternateSetting)                                    \
  {                                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                              \
    (urb)->UrbHeader.Length = (length);                                                     \
    (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);              \
    (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                \
    (urb)->UrbSelectInterface.Interface.Length =                                            \
        (length - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));          \
    (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                  \
  }

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedbits, request, value, \
                              index, transferBuffer, transferBufferMDL, transferBufferLength, \
                              link)                                                         \
  {                                                                                         \
    (urb)->UrbHeader.Function = cmd;                                                        \
    (urb)->UrbHeader.Length = (length);                                                     \
    (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);      \
    (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);            \
    (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                  \
    (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedbits);           \
    (urb)->UrbControlVendorClassRequest.Request = (request);                                \
    (urb)->UrbControlVendorClassRequest.Value = (value);                                    \
    (urb)->UrbControlVendorClassRequest.Index = (index);                                    \
    (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                    \
    (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                   \
  }

#define UsbBuildOsFeatureDescriptorRequest(urb, length, interface, index, transferBuffer,   \
                                           transferBufferMDL, transferBufferLength, link)   \
  {                                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR;                     \
    (urb)->UrbHeader.Length = (length);                                                     \
    (urb)->UrbOSFeatureDescriptorRequest.TransferBufferLength = (transferBufferLength);     \
    (urb)->UrbOSFeatureDescriptorRequest.TransferBufferMDL = (transferBufferMDL);           \
    (urb)->UrbOSFeatureDescriptorRequest.TransferBuffer = (transferBuffer);                 \
    (urb)->UrbOSFeatureDescriptorRequest.InterfaceNumber = (interface);                     \
    (urb)->UrbOSFeatureDescriptorRequest.MS_FeatureDescriptorIndex = (index);               \
    (urb)->UrbOSFeatureDescriptorRequest.UrbLink = (link);                                  \
  }

#define URB_STATUS(urb) ((urb)->UrbHeader.Status)

/* Size of a select-configuration URB for the given interface and pipe
 * totals; the record already embeds one interface with one pipe. */
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)   \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                                \
   ((totalInterfaces - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +            \
   ((totalPipes - totalInterfaces) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
  (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes - 1) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                     \
  (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - \
   sizeof(USBD_PIPE_INFORMATION))

/* As on Windows, this does not subtract the packet descriptor the record
 * already embeds, so it is one descriptor larger than needed. */
#define GET_ISO_URB_SIZE(n) \
  (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * n)

KWSIM_EXTERN_C_BEGIN

DECLSPEC_IMPORT VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

/* Deprecated: the interface descriptor with this number and alternate
 * setting, or NULL. */
DECLSPEC_IMPORT PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber,
    UCHAR AlternateSetting);

/* Deprecated: a select-configuration URB (from non-paged pool; the caller
 * frees it with ExFreePool) and its size in *Siz, or NULL. */
DECLSPEC_IMPORT PURB NTAPI USBD_CreateConfigurationRequest(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz);

/* The first descriptor of DescriptorType at or after StartPosition within
 * TotalLength bytes of DescriptorBuffer, or NULL. */
DECLSPEC_IMPORT PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer,
                                                                  ULONG TotalLength,
                                                                  PVOID StartPosition,
                                                                  LONG DescriptorType);

/* The first interface descriptor at or after StartPosition matching every
 * criterion that is not -1, or NULL. */
DECLSPEC_IMPORT PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);

/* A select-configuration URB for the interfaces of InterfaceList (ended by
 * an entry whose InterfaceDescriptor is NULL), from non-paged pool; each
 * entry's Interface is pointed at its record inside the URB. NULL on
 * failure. */
DECLSPEC_IMPORT PURB NTAPI USBD_CreateConfigurationRequestEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

DECLSPEC_EXPORT ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                                    PUCHAR BufferEnd);

KWSIM_EXTERN_C_END

#endif /* KWSIM_USBDLIB_H */
