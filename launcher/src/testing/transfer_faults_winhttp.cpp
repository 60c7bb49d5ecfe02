// WinHTTP's numbers for the kinds of transfer failure.
#include "testing/transfer_faults.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <winhttp.h>

namespace launcher::testing {

std::string transferFaultCode(TransferFault fault) {
  DWORD code = 0;
  switch (fault) {
    case TransferFault::CouldNotConnect:
      code = ERROR_WINHTTP_CANNOT_CONNECT;
      break;
    case TransferFault::TimedOut:
      code = ERROR_WINHTTP_TIMEOUT;
      break;
    case TransferFault::TooManyRedirects:
      code = ERROR_WINHTTP_REDIRECT_FAILED;
      break;
    case TransferFault::RedirectScheme:
      code = ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
      break;
    case TransferFault::BodyCutShort:
      code = ERROR_WINHTTP_CONNECTION_ERROR;
      break;
  }
  return std::to_string(static_cast<unsigned long>(code));
}

}  // namespace launcher::testing
