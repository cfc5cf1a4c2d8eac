// Another Windows program holding a report, as a collector of reports would,
// for the headless tests under Wine: `hold lock FILE SECONDS` takes the
// exclusive lock on FILE, says "held", then keeps it for SECONDS at most; the
// test ends it sooner.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 4 || std::strcmp(argv[1], "lock") != 0) {
    (void)std::fputs("usage: hold lock FILE SECONDS\n", stderr);
    return 2;
  }
  const HANDLE h =
      CreateFileA(argv[2], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  OVERLAPPED whole{};
  if (h == INVALID_HANDLE_VALUE ||
      LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) == 0) {
    (void)std::fprintf(stderr, "hold: cannot lock %s: error %lu\n", argv[2], GetLastError());
    return 1;
  }
  // As it is: the C runtime's text mode would end the line with \r\n.
  DWORD written = 0;
  (void)WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "held\n", 5, &written, nullptr);
  Sleep(static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)) * 1000);
  (void)CloseHandle(h);
  return 0;
}
