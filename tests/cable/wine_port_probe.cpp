// wine_port_probe PORT COUNT: opens PORT at 115200 8N1, writes "R" once ready,
// then echoes what it reads until COUNT bytes have gone back. Exit 0 when
// done, 1 when a call failed, 2 when nothing came for 10 s.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const char* port = argc > 1 ? argv[1] : "COM1";
  const long count = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 256;
  HANDLE h = CreateFileA(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::printf("CreateFileA %s: %lu\n", port, GetLastError());
    return 1;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  bool ok = GetCommState(h, &dcb);
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;                          // every byte value passes
  dcb.fOutX = dcb.fInX = FALSE;                // no XON/XOFF eating 0x11/0x13
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE; // a pty has no handshake lines
  ok = ok && SetCommState(h, &dcb);
  // Each read returns at its first byte, or after 10 s with nothing.
  COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 10000, 0, 0};
  ok = ok && SetCommTimeouts(h, &timeouts);
  DWORD done = 0;
  ok = ok && WriteFile(h, "R", 1, &done, nullptr);
  int status = ok ? 0 : 1;
  for (long echoed = 0; status == 0 && echoed < count;) {
    char buffer[512];
    DWORD got = 0;
    if (!ReadFile(h, buffer, sizeof buffer, &got, nullptr) || !WriteFile(h, buffer, got, &done, nullptr)) status = 1;
    else if (got == 0) status = 2;
    echoed += static_cast<long>(got);
  }
  if (status == 1) std::printf("failed: %lu\n", GetLastError());
  CloseHandle(h);
  return status;
}
