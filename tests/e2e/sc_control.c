/* sc_control: sends a control code to a service, as "sc control NAME CODE"
 * does on Windows (Wine's sc.exe has no "control" command). The end-to-end
 * scripts build it with MinGW-w64 and run it under Wine.
 *
 *   sc_control NAME CODE
 *
 * Exit status 0 when the service took the control; otherwise the Windows
 * error code (its low byte, as Wine passes it on) with the text on stderr. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: sc_control NAME CODE\n");
    return 2;
  }
  DWORD code = (DWORD)strtoul(argv[2], NULL, 10);
  SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
  if (!manager) {
    DWORD error = GetLastError();
    fprintf(stderr, "sc_control: OpenSCManager failed: %lu\n", (unsigned long)error);
    return (int)(error ? error : 1);
  }
  /* Codes 128..255 need SERVICE_USER_DEFINED_CONTROL; the others the
   * rights of stop, pause or interrogate. */
  SC_HANDLE service = OpenServiceA(manager, argv[1],
                                   SERVICE_USER_DEFINED_CONTROL | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                                       SERVICE_INTERROGATE | SERVICE_QUERY_STATUS);
  if (!service) {
    DWORD error = GetLastError();
    fprintf(stderr, "sc_control: OpenService %s failed: %lu\n", argv[1], (unsigned long)error);
    CloseServiceHandle(manager);
    return (int)(error ? error : 1);
  }
  SERVICE_STATUS status;
  int rc = 0;
  if (!ControlService(service, code, &status)) {
    DWORD error = GetLastError();
    fprintf(stderr, "sc_control: ControlService %s %lu failed: %lu\n", argv[1], (unsigned long)code,
            (unsigned long)error);
    rc = (int)(error ? error : 1);
  } else {
    printf("sc_control: %s took control %lu (state %lu)\n", argv[1], (unsigned long)code,
           (unsigned long)status.dwCurrentState);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}
