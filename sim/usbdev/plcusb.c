// plcusb.sys: the simulated PLC's USB device, a small kernel driver that wine loads as a kernel
// driver service (tools/wine-usb-device puts it into a prefix).
//
// Each configured device is a device object with a symbolic link named after the device path
// that SetupAPI lists for it, \??\usb#vid_fff0&pid_0001#<serial>#{a5dcbf10-...}: opening the
// listed path, bare or with the tool's trailing backslash, reaches this driver. Every open file
// is a link of its own: its reads, writes and serial IOCTLs (time-outs, line settings, discards)
// go to a wine COM port linked to plcsim's pseudo-terminal, on a worker thread per link, so that
// a read waiting out its time-out holds back no other link. The COM port is opened at a link's
// first I/O (an open that only probes the path never touches the line) and closed with the link;
// plcsim takes that close as the cable being pulled. Stopping the driver is the cable pulled
// with links open: what they have queued fails, and so does all their later I/O.
//
// Parameters (HKLM\System\CurrentControlSet\Services\plcusb\Parameters):
//   Devices  REG_MULTI_SZ, a string per device: "SERIAL PORT [closed] [once]"
//              closed: no symbolic link, so the device is listed but cannot be opened
//              once:   the device goes for good when its first link that carried bytes closes
//                      (it does not come back after a replug)
//   Log      REG_SZ, NT path of a log file (\??\C:\...): a line per device, open, close (or
//            "ended", for a link the stop ended), COM open and close, with the time in
//            milliseconds since 1970
#include <ntddk.h>

// Exported by the kernel, declared by no header of the tool chain.
int _snprintf(char* buffer, size_t count, const char* format, ...);
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable,
                                              PLARGE_INTEGER timeout);

#define TAG 0x62735550u  // "PUsb" in a pool dump
#define MAX_DEVICES 4
#define MAX_LINKS 32
#define NAME_CHARS 200

static const WCHAR kClass[] = L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

typedef struct Device {
  PDEVICE_OBJECT object;
  char serial[32];
  WCHAR port[24];
  WCHAR linkName[NAME_CHARS];
  BOOLEAN hasLink;
  BOOLEAN once;
} Device;

typedef struct Link {
  Device* device;
  LONG number;
  KSPIN_LOCK lock;
  LIST_ENTRY queue;
  KEVENT wake;
  BOOLEAN ended;  // the worker takes no more requests
  HANDLE thread;
  HANDLE com;
  ULONG reads, writes, controls;
} Link;

static PDRIVER_OBJECT gDriver;
static Device gDevices[MAX_DEVICES];
static int gDeviceCount;
static Link* gLinks[MAX_LINKS];
static KSPIN_LOCK gLinksLock;
static volatile LONG gRemoved;
static LONG gLinkNumber;
static HANDLE gLog;
// An auto-reset event as the log's lock: wine's KMUTEX is not released to a waiting thread.
static KEVENT gLogLock;

// ---- Small helpers ---------------------------------------------------------------------------

// Appends text to a NUL-terminated wide string of `size` characters, cutting what does not fit.
static void Append(WCHAR* out, size_t size, const WCHAR* text) {
  size_t n = wcslen(out);
  for (; *text != 0 && n + 1 < size; ++text) out[n++] = *text;
  out[n] = 0;
}

static void AppendAscii(WCHAR* out, size_t size, const char* text) {
  size_t n = wcslen(out);
  for (; *text != 0 && n + 1 < size; ++text) out[n++] = (WCHAR)(unsigned char)*text;
  out[n] = 0;
}

// Milliseconds since 1970, from the kernel's system time: the header's KeQuerySystemTime reads a
// page at a kernel address that wine does not map, so the routine is looked up by name.
typedef void(NTAPI* QuerySystemTime)(PLARGE_INTEGER time);
static QuerySystemTime gQuerySystemTime;

static ULONGLONG NowMs(void) {
  if (gQuerySystemTime == NULL) return 0;
  LARGE_INTEGER t;
  gQuerySystemTime(&t);
  return ((ULONGLONG)t.QuadPart - 116444736000000000ULL) / 10000;
}

static void Log(const char* text) {
  if (gLog == NULL) return;
  char line[256];
  int n = _snprintf(line, sizeof line - 1, "%llu %s\n", NowMs(), text);
  if (n < 0 || n > (int)sizeof line - 1) n = sizeof line - 1;
  IO_STATUS_BLOCK io;
  KeWaitForSingleObject(&gLogLock, Executive, KernelMode, FALSE, NULL);
  ZwWriteFile(gLog, NULL, NULL, NULL, &io, line, (ULONG)n, NULL, NULL);
  KeSetEvent(&gLogLock, IO_NO_INCREMENT, FALSE);
}

static void LogLink(const char* what, const Link* link, NTSTATUS status) {
  char text[200];
  _snprintf(text, sizeof text - 1,
            "%s %s link=%ld status=0x%08lx reads=%lu writes=%lu controls=%lu", what,
            link->device->serial, (long)link->number, (unsigned long)status,
            (unsigned long)link->reads, (unsigned long)link->writes, (unsigned long)link->controls);
  text[sizeof text - 1] = 0;
  Log(text);
}

static void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// ---- Configuration ---------------------------------------------------------------------------

static KEY_VALUE_PARTIAL_INFORMATION* QueryValue(HANDLE key, const WCHAR* name) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, name);
  ULONG size = 0;
  ZwQueryValueKey(key, &u, KeyValuePartialInformation, NULL, 0, &size);
  if (size == 0 || size > 65536) return NULL;
  // Room for a terminator the value may lack.
  KEY_VALUE_PARTIAL_INFORMATION* info = ExAllocatePoolWithTag(PagedPool, size + 4, TAG);
  if (info == NULL) return NULL;
  RtlZeroMemory(info, size + 4);
  if (!NT_SUCCESS(ZwQueryValueKey(key, &u, KeyValuePartialInformation, info, size, &size))) {
    ExFreePoolWithTag(info, TAG);
    return NULL;
  }
  return info;
}

static NTSTATUS OpenKey(const WCHAR* path, ACCESS_MASK access, HANDLE* key) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, path);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE, NULL, NULL);
  return ZwOpenKey(key, access, &oa);
}

// One blank-separated word of a device string, as ASCII; returns where the next word starts.
static const WCHAR* Word(const WCHAR* s, char* out, size_t size) {
  while (*s == L' ') ++s;
  size_t n = 0;
  for (; *s != L' ' && *s != 0; ++s) {
    if (n + 1 < size) out[n++] = (char)(*s < 128 ? *s : '?');
  }
  out[n] = 0;
  return s;
}

static void AddDevice(const WCHAR* spec) {
  if (gDeviceCount == MAX_DEVICES) return;
  Device* d = &gDevices[gDeviceCount];
  RtlZeroMemory(d, sizeof *d);
  char port[16], word[16];
  spec = Word(spec, d->serial, sizeof d->serial);
  spec = Word(spec, port, sizeof port);
  if (d->serial[0] == 0 || port[0] == 0) return;
  BOOLEAN closed = FALSE;
  for (;;) {
    spec = Word(spec, word, sizeof word);
    if (word[0] == 0) break;
    if (strcmp(word, "closed") == 0) closed = TRUE;
    if (strcmp(word, "once") == 0) d->once = TRUE;
  }
  Append(d->port, 24, L"\\??\\");
  AppendAscii(d->port, 24, port);
  Append(d->linkName, NAME_CHARS, L"\\??\\usb#vid_fff0&pid_0001#");
  AppendAscii(d->linkName, NAME_CHARS, d->serial);
  Append(d->linkName, NAME_CHARS, L"#");
  Append(d->linkName, NAME_CHARS, kClass);

  WCHAR deviceName[32] = L"\\Device\\PlcUsb";
  const WCHAR digit[2] = {(WCHAR)(L'0' + gDeviceCount), 0};
  Append(deviceName, 32, digit);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, deviceName);
  PDEVICE_OBJECT object;
  if (!NT_SUCCESS(IoCreateDevice(gDriver, sizeof(Device*), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                 &object))) {
    return;
  }
  *(Device**)object->DeviceExtension = d;
  object->Flags |= DO_BUFFERED_IO;
  object->Flags &= ~DO_DEVICE_INITIALIZING;
  d->object = object;
  ++gDeviceCount;
  if (!closed) {
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, d->linkName);
    d->hasLink = NT_SUCCESS(IoCreateSymbolicLink(&linkName, &name));
  }
  char text[120];
  _snprintf(text, sizeof text - 1, "device %s port=%s %s%s", d->serial, port,
            d->hasLink ? "openable" : "closed", d->once ? " once" : "");
  text[sizeof text - 1] = 0;
  Log(text);
}

static void ReadParameters(PUNICODE_STRING registryPath) {
  WCHAR path[NAME_CHARS] = L"";
  size_t n = registryPath->Length / sizeof(WCHAR);
  if (n >= NAME_CHARS - 16) return;
  RtlCopyMemory(path, registryPath->Buffer, n * sizeof(WCHAR));
  path[n] = 0;
  Append(path, NAME_CHARS, L"\\Parameters");
  HANDLE key;
  if (!NT_SUCCESS(OpenKey(path, KEY_READ, &key))) return;

  KEY_VALUE_PARTIAL_INFORMATION* log = QueryValue(key, L"Log");
  if (log != NULL && log->Type == REG_SZ) {
    UNICODE_STRING u;
    OBJECT_ATTRIBUTES oa;
    RtlInitUnicodeString(&u, (const WCHAR*)log->Data);
    InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE, NULL, NULL);
    IO_STATUS_BLOCK io;
    if (!NT_SUCCESS(ZwCreateFile(&gLog, FILE_APPEND_DATA | SYNCHRONIZE, &oa, &io, NULL,
                                 FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 FILE_OPEN_IF, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0))) {
      gLog = NULL;
    }
  }
  if (log != NULL) ExFreePoolWithTag(log, TAG);

  KEY_VALUE_PARTIAL_INFORMATION* devices = QueryValue(key, L"Devices");
  if (devices != NULL && (devices->Type == REG_MULTI_SZ || devices->Type == REG_SZ)) {
    const WCHAR* s = (const WCHAR*)devices->Data;
    const WCHAR* end = s + devices->DataLength / sizeof(WCHAR);
    while (s < end && *s != 0) {
      AddDevice(s);
      s += wcslen(s) + 1;
    }
  }
  if (devices != NULL) ExFreePoolWithTag(devices, TAG);
  ZwClose(key);
}

// The device gone for good: no longer listed (its interface unlinked) and no longer openable.
static void Vanish(Device* d) {
  if (d->hasLink) {
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, d->linkName);
    IoDeleteSymbolicLink(&linkName);
    d->hasLink = FALSE;
  }
  WCHAR path[NAME_CHARS * 2] = L"";
  const size_t size = NAME_CHARS * 2;
  Append(path, size, L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\");
  Append(path, size, kClass);
  Append(path, size, L"\\##?#usb#vid_fff0&pid_0001#");
  AppendAscii(path, size, d->serial);
  Append(path, size, L"#");
  Append(path, size, kClass);
  Append(path, size, L"\\#\\Control");
  HANDLE key;
  if (NT_SUCCESS(OpenKey(path, KEY_SET_VALUE, &key))) {
    UNICODE_STRING linked;
    RtlInitUnicodeString(&linked, L"Linked");
    ULONG zero = 0;
    ZwSetValueKey(key, &linked, 0, REG_DWORD, &zero, sizeof zero);
    ZwClose(key);
  }
  char text[64];
  _snprintf(text, sizeof text - 1, "gone %s", d->serial);
  text[sizeof text - 1] = 0;
  Log(text);
}

// ---- A link and its worker -------------------------------------------------------------------

static NTSTATUS OpenCom(Link* link) {
  if (link->com != NULL) return STATUS_SUCCESS;
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, link->device->port);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE, NULL, NULL);
  IO_STATUS_BLOCK io;
  HANDLE com;
  NTSTATUS status = ZwCreateFile(&com, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa, &io, NULL,
                                 FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
  if (NT_SUCCESS(status)) link->com = com;
  LogLink("com-open", link, status);
  return status;
}

static void Serve(Link* link, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status = OpenCom(link);
  if (!NT_SUCCESS(status)) {
    Complete(irp, status, 0);
    return;
  }
  IO_STATUS_BLOCK io;
  io.Information = 0;
  switch (stack->MajorFunction) {
    case IRP_MJ_READ: {
      const ULONG length = stack->Parameters.Read.Length;
      ++link->reads;
      status = ZwReadFile(link->com, NULL, NULL, NULL, &io, buffer, length, NULL, NULL);
      // A serial read that ran out of time is a success with what came.
      if (status == STATUS_TIMEOUT) status = STATUS_SUCCESS;
      if (io.Information > length) io.Information = length;
      break;
    }
    case IRP_MJ_WRITE: {
      const ULONG length = stack->Parameters.Write.Length;
      ++link->writes;
      status = ZwWriteFile(link->com, NULL, NULL, NULL, &io, buffer, length, NULL, NULL);
      if (io.Information > length) io.Information = length;
      break;
    }
    default: {
      const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
      const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
      const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
      // The serial IOCTLs are METHOD_BUFFERED: input and output share the system buffer, so the
      // input goes aside before the output can overwrite it.
      UCHAR input[256];
      ++link->controls;
      if ((code & 3) != METHOD_BUFFERED || in > sizeof input) {
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
      }
      if (in > 0) RtlCopyMemory(input, buffer, in);
      status = ZwDeviceIoControlFile(link->com, NULL, NULL, NULL, &io, code, in ? input : NULL, in,
                                     out ? buffer : NULL, out);
      if (io.Information > out) io.Information = out;
      break;
    }
  }
  Complete(irp, status, NT_SUCCESS(status) ? io.Information : 0);
}

static PIRP Take(Link* link, BOOLEAN end) {
  KIRQL irql;
  KeAcquireSpinLock(&link->lock, &irql);
  PIRP irp = NULL;
  if (!IsListEmpty(&link->queue)) {
    irp = CONTAINING_RECORD(RemoveHeadList(&link->queue), IRP, Tail.Overlay.ListEntry);
  } else if (end) {
    link->ended = TRUE;
  }
  KeReleaseSpinLock(&link->lock, irql);
  return irp;
}

static void Worker(void* context) {
  Link* link = context;
  PIRP closeIrp = NULL;
  while (closeIrp == NULL && !gRemoved) {
    KeWaitForSingleObject(&link->wake, Executive, KernelMode, FALSE, NULL);
    PIRP irp;
    while (closeIrp == NULL && !gRemoved && (irp = Take(link, FALSE)) != NULL) {
      if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE) {
        closeIrp = irp;
      } else {
        Serve(link, irp);
      }
    }
  }
  // The driver stopping: whatever is still queued fails as on a device that has gone.
  PIRP irp;
  while ((irp = Take(link, TRUE)) != NULL) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE) {
      closeIrp = irp;
    } else {
      Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
  }
  const BOOLEAN carried = link->com != NULL;
  if (link->com != NULL) {
    ZwClose(link->com);
    link->com = NULL;
    LogLink("com-close", link, STATUS_SUCCESS);
  }
  // A link the driver's stop ended gets no close: its file went with the device.
  if (closeIrp == NULL) LogLink("ended", link, STATUS_DEVICE_NOT_CONNECTED);
  if (closeIrp != NULL) {
    LogLink("close", link, STATUS_SUCCESS);
    if (carried && link->device->once && !gRemoved) Vanish(link->device);
    Complete(closeIrp, STATUS_SUCCESS, 0);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// Frees the links whose workers have ended (all of them when `wait`, after waiting for them).
static void Reap(BOOLEAN wait) {
  for (int i = 0; i < MAX_LINKS; ++i) {
    KIRQL irql;
    KeAcquireSpinLock(&gLinksLock, &irql);
    Link* link = gLinks[i];
    KeReleaseSpinLock(&gLinksLock, irql);
    if (link == NULL) continue;
    LARGE_INTEGER now = {.QuadPart = 0};
    if (ZwWaitForSingleObject(link->thread, FALSE, wait ? NULL : &now) != STATUS_SUCCESS) {
      continue;
    }
    KeAcquireSpinLock(&gLinksLock, &irql);
    gLinks[i] = NULL;
    KeReleaseSpinLock(&gLinksLock, irql);
    ZwClose(link->thread);
    ExFreePoolWithTag(link, TAG);
  }
}

// ---- Dispatch --------------------------------------------------------------------------------

static NTSTATUS Create(PDEVICE_OBJECT object, PIRP irp) {
  Device* d = *(Device**)object->DeviceExtension;
  Reap(FALSE);
  Link* link = gRemoved ? NULL : ExAllocatePoolWithTag(NonPagedPool, sizeof(Link), TAG);
  if (link == NULL) {
    Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  RtlZeroMemory(link, sizeof *link);
  link->device = d;
  link->number = InterlockedIncrement(&gLinkNumber);
  KeInitializeSpinLock(&link->lock);
  InitializeListHead(&link->queue);
  KeInitializeEvent(&link->wake, SynchronizationEvent, FALSE);

  int slot = -1;
  KIRQL irql;
  KeAcquireSpinLock(&gLinksLock, &irql);
  for (int i = 0; i < MAX_LINKS && slot < 0; ++i) {
    if (gLinks[i] == NULL) slot = i;
  }
  if (slot >= 0) gLinks[slot] = link;
  KeReleaseSpinLock(&gLinksLock, irql);
  NTSTATUS status = slot < 0 ? STATUS_INSUFFICIENT_RESOURCES
                             : PsCreateSystemThread(&link->thread, THREAD_ALL_ACCESS, NULL, NULL,
                                                    NULL, Worker, link);
  if (!NT_SUCCESS(status)) {
    if (slot >= 0) {
      KeAcquireSpinLock(&gLinksLock, &irql);
      gLinks[slot] = NULL;
      KeReleaseSpinLock(&gLinksLock, irql);
    }
    ExFreePoolWithTag(link, TAG);
    Complete(irp, status, 0);
    return status;
  }
  IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = link;
  LogLink("open", link, STATUS_SUCCESS);
  Complete(irp, STATUS_SUCCESS, 0);
  return STATUS_SUCCESS;
}

// Reads, writes, IOCTLs and the close go to the link's worker, in the order they came.
static NTSTATUS Queue(PDEVICE_OBJECT object, PIRP irp) {
  (void)object;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Link* link = stack->FileObject != NULL ? stack->FileObject->FsContext : NULL;
  const BOOLEAN close = stack->MajorFunction == IRP_MJ_CLOSE;
  if (link == NULL) {
    const NTSTATUS status = close ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
    Complete(irp, status, 0);
    return status;
  }
  KIRQL irql;
  KeAcquireSpinLock(&link->lock, &irql);
  const BOOLEAN taken = !link->ended;
  if (taken) {
    IoMarkIrpPending(irp);
    InsertTailList(&link->queue, &irp->Tail.Overlay.ListEntry);
  }
  KeReleaseSpinLock(&link->lock, irql);
  if (!taken) {
    const NTSTATUS status = close ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
    Complete(irp, status, 0);
    return status;
  }
  KeSetEvent(&link->wake, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

static NTSTATUS Succeed(PDEVICE_OBJECT object, PIRP irp) {
  (void)object;
  Complete(irp, STATUS_SUCCESS, 0);
  return STATUS_SUCCESS;
}

static void Unload(PDRIVER_OBJECT driver) {
  (void)driver;
  InterlockedExchange(&gRemoved, 1);
  for (int i = 0; i < MAX_LINKS; ++i) {
    KIRQL irql;
    KeAcquireSpinLock(&gLinksLock, &irql);
    Link* link = gLinks[i];
    KeReleaseSpinLock(&gLinksLock, irql);
    if (link != NULL) KeSetEvent(&link->wake, IO_NO_INCREMENT, FALSE);
  }
  // No code of this driver may run once it is unloaded: every worker ends first.
  Reap(TRUE);
  for (int i = 0; i < gDeviceCount; ++i) {
    Device* d = &gDevices[i];
    if (d->hasLink) {
      UNICODE_STRING linkName;
      RtlInitUnicodeString(&linkName, d->linkName);
      IoDeleteSymbolicLink(&linkName);
    }
    IoDeleteDevice(d->object);
  }
  Log("stopped");
  if (gLog != NULL) ZwClose(gLog);
  gLog = NULL;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  gDriver = driver;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"KeQuerySystemTime");
  gQuerySystemTime = (QuerySystemTime)MmGetSystemRoutineAddress(&name);
  KeInitializeSpinLock(&gLinksLock);
  KeInitializeEvent(&gLogLock, SynchronizationEvent, TRUE);
  driver->MajorFunction[IRP_MJ_CREATE] = Create;
  driver->MajorFunction[IRP_MJ_CLOSE] = Queue;
  driver->MajorFunction[IRP_MJ_READ] = Queue;
  driver->MajorFunction[IRP_MJ_WRITE] = Queue;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Queue;
  driver->MajorFunction[IRP_MJ_CLEANUP] = Succeed;
  driver->DriverUnload = Unload;
  ReadParameters(registryPath);
  Log("started");
  return STATUS_SUCCESS;
}
