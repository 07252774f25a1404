"""What a test process holds on Windows, where Linux's tests read /proc and /dev/shm: its child
processes and threads (a Toolhelp snapshot), its handle count, and the frame blocks (named
mappings `wnsm_...` in the session's object directory, each with its creator's pid in the
trailer after its bytes; the view shows the size only in whole pages, so the trailer is found by
its magic)."""

import ctypes
import os
from ctypes import wintypes

kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
ntdll = ctypes.WinDLL("ntdll")
TH32CS_SNAPPROCESS, TH32CS_SNAPTHREAD = 0x2, 0x4
INVALID_HANDLE = wintypes.HANDLE(-1).value
FILE_MAP_READ = 0x4
PROCESS_QUERY_LIMITED_INFORMATION = 0x1000
DIRECTORY_QUERY = 0x1
MAGIC = b"tavblock"
NOT_WORKERS = {"conhost.exe", "explorer.exe"}


class PROCESSENTRY32W(ctypes.Structure):
    _fields_ = [("dwSize", wintypes.DWORD), ("cntUsage", wintypes.DWORD),
                ("th32ProcessID", wintypes.DWORD), ("th32DefaultHeapID", ctypes.c_size_t),
                ("th32ModuleID", wintypes.DWORD), ("cntThreads", wintypes.DWORD),
                ("th32ParentProcessID", wintypes.DWORD), ("pcPriClassBase", wintypes.LONG),
                ("dwFlags", wintypes.DWORD), ("szExeFile", wintypes.WCHAR * 260)]


class THREADENTRY32(ctypes.Structure):
    _fields_ = [("dwSize", wintypes.DWORD), ("cntUsage", wintypes.DWORD),
                ("th32ThreadID", wintypes.DWORD), ("th32OwnerProcessID", wintypes.DWORD),
                ("tpBasePri", wintypes.LONG), ("tpDeltaPri", wintypes.LONG),
                ("dwFlags", wintypes.DWORD)]


class UNICODE_STRING(ctypes.Structure):
    _fields_ = [("Length", wintypes.USHORT), ("MaximumLength", wintypes.USHORT),
                ("Buffer", wintypes.LPWSTR)]


class OBJECT_ATTRIBUTES(ctypes.Structure):
    _fields_ = [("Length", wintypes.ULONG), ("RootDirectory", wintypes.HANDLE),
                ("ObjectName", ctypes.POINTER(UNICODE_STRING)), ("Attributes", wintypes.ULONG),
                ("SecurityDescriptor", ctypes.c_void_p),
                ("SecurityQualityOfService", ctypes.c_void_p)]


class MEMORY_BASIC_INFORMATION(ctypes.Structure):
    _fields_ = [("BaseAddress", ctypes.c_void_p), ("AllocationBase", ctypes.c_void_p),
                ("AllocationProtect", wintypes.DWORD), ("PartitionId", wintypes.WORD),
                ("RegionSize", ctypes.c_size_t), ("State", wintypes.DWORD),
                ("Protect", wintypes.DWORD), ("Type", wintypes.DWORD)]


kernel32.CreateToolhelp32Snapshot.restype = wintypes.HANDLE
kernel32.OpenFileMappingW.restype = wintypes.HANDLE
kernel32.MapViewOfFile.restype = ctypes.c_void_p
kernel32.MapViewOfFile.argtypes = [wintypes.HANDLE, wintypes.DWORD, wintypes.DWORD,
                                   wintypes.DWORD, ctypes.c_size_t]
kernel32.UnmapViewOfFile.argtypes = [ctypes.c_void_p]
kernel32.VirtualQuery.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
kernel32.CloseHandle.argtypes = [wintypes.HANDLE]
kernel32.OpenProcess.restype = wintypes.HANDLE


def _snapshot(kind, entry_type, first, following):
    snap = kernel32.CreateToolhelp32Snapshot(kind, 0)
    if snap == INVALID_HANDLE:
        raise ctypes.WinError(ctypes.get_last_error())
    try:
        entry = entry_type()
        entry.dwSize = ctypes.sizeof(entry_type)
        ok = first(snap, ctypes.byref(entry))
        while ok:
            yield entry
            ok = following(snap, ctypes.byref(entry))
    finally:
        kernel32.CloseHandle(snap)


def _started_at(pid):
    """When process `pid` started (0 when it is gone)."""
    handle = kernel32.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, False, pid)
    if not handle:
        return 0
    try:
        times = [wintypes.FILETIME() for _ in range(4)]
        if not kernel32.GetProcessTimes(handle, *map(ctypes.byref, times)):
            return 0
        return times[0].dwHighDateTime << 32 | times[0].dwLowDateTime
    finally:
        kernel32.CloseHandle(handle)


def child_pids():
    """Our child processes: those naming our pid as their parent that started after us (a
    parent's pid is not cleared when it ends, and Wine's own services name pids long reused),
    but the console hosts made for the consoles of those started without a window and Wine's
    desktop process, which the first process that needs a desktop starts."""
    me = os.getpid()
    named = {e.th32ProcessID for e in _snapshot(TH32CS_SNAPPROCESS, PROCESSENTRY32W,
                                                kernel32.Process32FirstW, kernel32.Process32NextW)
             if e.th32ParentProcessID == me and e.szExeFile.lower() not in NOT_WORKERS}
    born = _started_at(me)
    return {pid for pid in named if _started_at(pid) >= born}


def thread_count():
    me = os.getpid()
    return sum(1 for e in _snapshot(TH32CS_SNAPTHREAD, THREADENTRY32, kernel32.Thread32First,
                                    kernel32.Thread32Next) if e.th32OwnerProcessID == me)


def handle_count():
    count = wintypes.DWORD()
    if not kernel32.GetProcessHandleCount(kernel32.GetCurrentProcess(), ctypes.byref(count)):
        raise ctypes.WinError(ctypes.get_last_error())
    return count.value


def _object_names(directory):
    name = UNICODE_STRING(len(directory) * 2, len(directory) * 2, directory)
    attributes = OBJECT_ATTRIBUTES(ctypes.sizeof(OBJECT_ATTRIBUTES), None,
                                   ctypes.pointer(name), 0, None, None)
    handle = wintypes.HANDLE()
    status = ntdll.NtOpenDirectoryObject(ctypes.byref(handle), DIRECTORY_QUERY,
                                         ctypes.byref(attributes))
    if status:
        raise OSError(f"NtOpenDirectoryObject({directory}) failed: {status & 0xFFFFFFFF:#x}")
    try:
        buffer = ctypes.create_string_buffer(4096)
        context, returned = wintypes.ULONG(0), wintypes.ULONG(0)
        restart = True
        while ntdll.NtQueryDirectoryObject(handle, buffer, len(buffer), True, restart,
                                           ctypes.byref(context), ctypes.byref(returned)) == 0:
            restart = False
            entry = UNICODE_STRING.from_buffer(buffer)
            yield ctypes.wstring_at(entry.Buffer, entry.Length // 2)
    finally:
        kernel32.CloseHandle(handle)


def _creator(name):
    """The creator's pid in block `name`'s trailer, or None when it is gone or not ours."""
    mapping = kernel32.OpenFileMappingW(FILE_MAP_READ, False, "Local\\" + name)
    if not mapping:
        return None
    try:
        view = kernel32.MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0)
        if not view:
            return None
        try:
            region = MEMORY_BASIC_INFORMATION()
            kernel32.VirtualQuery(view, ctypes.byref(region), ctypes.sizeof(region))
            tail = min(region.RegionSize, 65536)
            data = ctypes.string_at(view + region.RegionSize - tail, tail)
        finally:
            kernel32.UnmapViewOfFile(view)
    finally:
        kernel32.CloseHandle(mapping)
    at = data.rfind(MAGIC)
    return int.from_bytes(data[at + 8:at + 16], "little") if at >= 0 else None


def frame_blocks(pid):
    """The names of the frame blocks process `pid` made that are still there."""
    session = wintypes.DWORD()
    kernel32.ProcessIdToSessionId(os.getpid(), ctypes.byref(session))
    names = [n for n in _object_names(f"\\Sessions\\{session.value}\\BaseNamedObjects")
             if n.startswith("wnsm_")]
    return {n for n in names if _creator(n) == pid}
