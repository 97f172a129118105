// service_control: sends one control code to an installed service, for the
// end-to-end scripts under Wine, whose sc.exe has no "control" command.
//
//   service_control NAME CODE
//
// Exit codes: 0 when the service took the code, 1 with the system's error
// number and text on stderr otherwise, 2 for a wrong command line.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: service_control NAME CODE\n");
    return 2;
  }
  char* end = nullptr;
  const unsigned long code = std::strtoul(argv[2], &end, 10);
  if (end == argv[2] || *end != '\0' || code > 255) {
    std::fprintf(stderr, "service_control: '%s' is not a control code from 0 to 255\n", argv[2]);
    return 2;
  }
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    std::fprintf(stderr, "service_control: OpenSCManager failed: %lu\n", GetLastError());
    return 1;
  }
  SC_HANDLE service = OpenServiceA(manager, argv[1], SERVICE_USER_DEFINED_CONTROL | SERVICE_STOP |
                                                         SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE);
  if (!service) {
    std::fprintf(stderr, "service_control: OpenService failed: %lu\n", GetLastError());
    CloseServiceHandle(manager);
    return 1;
  }
  SERVICE_STATUS status{};
  const BOOL ok = ControlService(service, static_cast<DWORD>(code), &status);
  const DWORD error = ok ? 0 : GetLastError();
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!ok) {
    std::fprintf(stderr, "service_control: ControlService(%lu) failed: %lu\n", code, error);
    return 1;
  }
  std::printf("state %lu\n", status.dwCurrentState);
  return 0;
}
