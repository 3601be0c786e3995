// Serial ports on Windows: \\.\COMn opened exclusively for overlapped I/O,
// set up through the DCB and COMMTIMEOUTS. The reader keeps one read pending
// and waits for it together with its wake, so closing the port never leaves
// the reader stuck in a read. Also the wake and the system's error texts.
//
// Reading: when the driver holds bytes, exactly that many are read (which
// completes at once); otherwise a read of one byte waits for the next byte,
// and what followed it is taken at once too. No interval timer is involved,
// so a reply is handed on as soon as it is there.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "comm_internal.h"

namespace comm {

namespace {

constexpr int BITS_PER_BYTE_MAX = 12; // start, 8 data, parity, 2 stop
// Bytes taken from the driver by one read.
constexpr DWORD SERIAL_READ_CHUNK = 4096;
// A pending read ends by itself after this long without a byte (and is
// issued again), so a driver that loses a cancel cannot keep it for ever.
// A read of bytes the driver holds already completes within it too.
constexpr DWORD SERIAL_READ_WAIT_MS = 1000;
// One write waits at most this long before it is cancelled and reports what
// went out; the caller's deadline decides whether it goes on.
constexpr DWORD SERIAL_WRITE_SLICE_MS = 250;
// Closing waits this long for a cancelled read or write to end.
constexpr DWORD SERIAL_CANCEL_WAIT_MS = 2000;
// Driver queue sizes asked for.
constexpr DWORD SERIAL_QUEUE_BYTES = 8192;

struct SerialPort {
    HANDLE h = INVALID_HANDLE_VALUE;
    OVERLAPPED rd{}, wr{};
    bool reading = false; // rd is pending
    DWORD asked = 0;      // bytes the pending read asked for
    bool failed = false;  // the port reported an error: the link is gone
    unsigned char buf[SERIAL_READ_CHUNK];
    DWORD have = 0, used = 0; // bytes of buf read, and handed out
};

SerialPort *port_of(Handle h) {
    return reinterpret_cast<SerialPort *>(h);
}

DWORD ms_until(const Clock::time_point *deadline) {
    if (!deadline)
        return INFINITE;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    *deadline - Clock::now() + std::chrono::microseconds(999))
                    .count();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

int fail(const Target &t, DWORD err, int code) {
    log_error("%s",
              open_error_text(t.port, t.path, static_cast<int>(err)).c_str());
    return code;
}

bool configure(HANDLE h, const Target &t) {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return false;
    dcb.BaudRate = static_cast<DWORD>(t.baud);
    dcb.ByteSize = static_cast<BYTE>(t.data_bits);
    dcb.Parity = t.parity == 0   ? NOPARITY
                 : t.parity == 1 ? ODDPARITY
                                 : EVENPARITY;
    dcb.StopBits = t.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = t.parity ? TRUE : FALSE;
    dcb.fOutxCtsFlow = t.flow ? TRUE : FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = t.flow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(h, &dcb))
        return false;
    // A read returns when the bytes asked for are there, or with fewer
    // after SERIAL_READ_WAIT_MS; writes are bounded by the slice instead.
    COMMTIMEOUTS to;
    memset(&to, 0, sizeof to);
    to.ReadTotalTimeoutConstant = SERIAL_READ_WAIT_MS;
    return SetCommTimeouts(h, &to) != 0;
}

// Ends a pending operation: cancelled, then waited for within a bound.
// False when it is still running (its memory must then stay).
bool settle(SerialPort &p, OVERLAPPED &o) {
    CancelIoEx(p.h, &o);
    if (WaitForSingleObject(o.hEvent, SERIAL_CANCEL_WAIT_MS) != WAIT_OBJECT_0)
        return false;
    DWORD n;
    GetOverlappedResult(p.h, &o, &n, FALSE);
    return true;
}

int serial_open(const Target &t, Handle *out) {
    if (t.path.empty()) {
        log_error("\nCannot open COM %d: no such port (COM 1-%d)\n", t.com,
                  COM_MAX);
        return COMM_ERR_NOT_FOUND;
    }
    HANDLE h =
        CreateFileA(t.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        return fail(t, e,
                    e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND
                        ? COMM_ERR_NOT_FOUND
                        : COMM_ERR_IO);
    }
    if (GetFileType(h) != FILE_TYPE_CHAR) {
        CloseHandle(h);
        log_error("\nCannot open %s: not a serial port\n", t.port.c_str());
        return COMM_ERR_ARG;
    }
    SetupComm(h, SERIAL_QUEUE_BYTES, SERIAL_QUEUE_BYTES);
    if (!configure(h, t)) {
        DWORD e = GetLastError();
        CloseHandle(h);
        return fail(t, e, COMM_ERR_IO);
    }
    // Bytes that waited in the port before the connection are not its own.
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    DWORD errors;
    ClearCommError(h, &errors, nullptr);
    auto *p = new (std::nothrow) SerialPort;
    if (p) {
        p->h = h;
        p->rd.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        p->wr.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    if (!p || !p->rd.hEvent || !p->wr.hEvent) {
        if (p) {
            if (p->rd.hEvent)
                CloseHandle(p->rd.hEvent);
            if (p->wr.hEvent)
                CloseHandle(p->wr.hEvent);
            delete p;
        }
        CloseHandle(h);
        return COMM_ERR_NO_MEM;
    }
    *out = reinterpret_cast<Handle>(p);
    return COMM_OK;
}

void serial_close(Handle handle) {
    SerialPort &p = *port_of(handle);
    bool idle = !p.reading || settle(p, p.rd);
    CloseHandle(p.h); // also ends whatever a cancel missed
    if (!idle)
        idle = WaitForSingleObject(p.rd.hEvent, SERIAL_CANCEL_WAIT_MS) ==
               WAIT_OBJECT_0;
    if (!idle)
        return; // the driver still owns the buffer: it is left to it
    CloseHandle(p.rd.hEvent);
    CloseHandle(p.wr.hEvent);
    delete &p;
}

// Bytes the driver holds now.
DWORD queued(SerialPort &p) {
    DWORD errors;
    COMSTAT st;
    return ClearCommError(p.h, &errors, &st) ? st.cbInQue : 0;
}

// Issues a read of want bytes at buf[at]; it completes through p.rd.
bool issue_read(SerialPort &p, DWORD at, DWORD want) {
    ResetEvent(p.rd.hEvent);
    if (ReadFile(p.h, p.buf + at, want, nullptr, &p.rd) ||
        GetLastError() == ERROR_IO_PENDING)
        return true;
    p.failed = true;
    return false;
}

// The count of a completed read; 0 for one that timed out empty (Windows
// reports that as success, wine as a time-out error), -1 when the port
// failed.
long finished_read(SerialPort &p) {
    DWORD n = 0;
    if (GetOverlappedResult(p.h, &p.rd, &n, FALSE))
        return static_cast<long>(n);
    DWORD e = GetLastError();
    if (e == ERROR_TIMEOUT || e == ERROR_SEM_TIMEOUT ||
        e == ERROR_OPERATION_ABORTED)
        return static_cast<long>(n);
    return -1;
}

// Takes the completed read into the buffer. A single byte that ended a wait
// brings the bytes that came with it along.
void take_read(SerialPort &p, DWORD asked) {
    p.reading = false;
    long n = finished_read(p);
    if (n < 0) {
        p.failed = true;
        return;
    }
    p.have = static_cast<DWORD>(n);
    p.used = 0;
    if (asked != 1 || n != 1)
        return;
    DWORD more = std::min<DWORD>(queued(p), SERIAL_READ_CHUNK - 1);
    if (more == 0 || !issue_read(p, 1, more))
        return;
    // The bytes are there, so it completes at once; its time-out bounds it
    // anyway, and a driver that misses even that has its read cancelled.
    if (WaitForSingleObject(p.rd.hEvent, SERIAL_READ_WAIT_MS * 2) !=
            WAIT_OBJECT_0 &&
        !settle(p, p.rd)) {
        p.reading = true; // still the driver's: closing waits for it
        p.failed = true;
        return;
    }
    long m = finished_read(p);
    if (m < 0)
        p.failed = true;
    else
        p.have += static_cast<DWORD>(m);
}

// Issues a read unless one is pending or bytes are still to be handed out.
void start_read(SerialPort &p) {
    if (p.reading || p.failed || p.used < p.have)
        return;
    DWORD want = std::min<DWORD>(queued(p), SERIAL_READ_CHUNK);
    p.asked = want ? want : 1;
    p.have = p.used = 0;
    if (issue_read(p, 0, p.asked))
        p.reading = true;
}

WaitResult serial_wait(Handle handle, Wake *wake, bool for_write,
                       const Clock::time_point *deadline) {
    SerialPort &p = *port_of(handle);
    // A write waits by itself, one slice at a time.
    if (for_write)
        return WaitResult::Ready;
    for (;;) {
        start_read(p);
        if (p.failed)
            return WaitResult::Hangup;
        if (p.used < p.have)
            return WaitResult::Ready;
        HANDLE objs[2] = {p.rd.hEvent,
                          wake ? reinterpret_cast<HANDLE>(wake->native())
                               : nullptr};
        DWORD r = WaitForMultipleObjects(wake ? 2 : 1, objs, FALSE,
                                         ms_until(deadline));
        if (r == WAIT_OBJECT_0) {
            take_read(p, p.asked);
            continue; // an empty read is issued again
        }
        if (r == WAIT_OBJECT_0 + 1)
            return WaitResult::Woken;
        if (r == WAIT_TIMEOUT)
            return WaitResult::Timeout;
        errno = EIO;
        return WaitResult::Failed;
    }
}

ssize_t serial_read(Handle handle, unsigned char *buf, size_t len) {
    SerialPort &p = *port_of(handle);
    if (p.used < p.have) {
        size_t n = std::min(len, static_cast<size_t>(p.have - p.used));
        memcpy(buf, p.buf + p.used, n);
        p.used += static_cast<DWORD>(n);
        return static_cast<ssize_t>(n);
    }
    errno = p.failed ? EIO : EAGAIN;
    return -1;
}

ssize_t serial_write(Handle handle, const unsigned char *buf, size_t len) {
    SerialPort &p = *port_of(handle);
    DWORD n = 0;
    ResetEvent(p.wr.hEvent);
    if (!WriteFile(p.h, buf, static_cast<DWORD>(len), nullptr, &p.wr) &&
        GetLastError() != ERROR_IO_PENDING) {
        errno = EIO;
        return -1;
    }
    if (WaitForSingleObject(p.wr.hEvent, SERIAL_WRITE_SLICE_MS) !=
        WAIT_OBJECT_0) {
        // Cancelled, it reports the bytes that went out before.
        CancelIoEx(p.h, &p.wr);
        if (WaitForSingleObject(p.wr.hEvent, SERIAL_CANCEL_WAIT_MS) !=
            WAIT_OBJECT_0) {
            errno = EIO;
            return -1;
        }
    }
    if (!GetOverlappedResult(p.h, &p.wr, &n, FALSE) &&
        GetLastError() != ERROR_OPERATION_ABORTED) {
        errno = EIO;
        return -1;
    }
    if (n == 0) {
        errno = EAGAIN;
        return -1;
    }
    return static_cast<ssize_t>(n);
}

int serial_line_ms(const Target &t, int len) {
    long long bits = static_cast<long long>(len) * BITS_PER_BYTE_MAX;
    return static_cast<int>(bits * 1000 / (t.baud > 0 ? t.baud : 1));
}

} // namespace

Wake::Wake() {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (e)
        native_ = reinterpret_cast<Handle>(e);
}

Wake::~Wake() {
    if (ok())
        CloseHandle(reinterpret_cast<HANDLE>(native_));
}

void Wake::set() {
    SetEvent(reinterpret_cast<HANDLE>(native_));
}

void Wake::clear() {
    ResetEvent(reinterpret_cast<HANDLE>(native_));
}

std::string system_error_text(unsigned long err) {
    char *text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
            FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, err, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<char *>(&text), 0, nullptr);
    std::string s = n && text ? std::string(text, n) : "";
    if (text)
        LocalFree(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' ||
                          s.back() == ' ' || s.back() == '.'))
        s.pop_back();
    return s.empty() ? "system error " + std::to_string(err) : s;
}

std::string open_error_text(const std::string &port, const std::string &,
                            int err) {
    std::string text = "\nCannot open " + port + ": ";
    // Windows answers "access denied" for a port that another program
    // holds open.
    if (err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION)
        text += "the port is in use by another program";
    else
        text += system_error_text(static_cast<unsigned long>(err));
    return text + "\n";
}

const Transport serial_transport = {"serial",       serial_open,  serial_close,
                                    serial_read,    serial_write, list_usb,
                                    serial_line_ms, serial_wait};

} // namespace comm
