// libcurl's numbers for the kinds of transfer failure.
#include "testing/transfer_faults.h"

#include <curl/curl.h>

namespace launcher::testing {

std::string transferFaultCode(TransferFault fault) {
  CURLcode code = CURLE_OK;
  switch (fault) {
    case TransferFault::CouldNotConnect:
      code = CURLE_COULDNT_CONNECT;
      break;
    case TransferFault::TimedOut:
      code = CURLE_OPERATION_TIMEDOUT;
      break;
    case TransferFault::TooManyRedirects:
      code = CURLE_TOO_MANY_REDIRECTS;
      break;
    case TransferFault::RedirectScheme:
      code = CURLE_UNSUPPORTED_PROTOCOL;
      break;
    case TransferFault::BodyCutShort:
      code = CURLE_PARTIAL_FILE;
      break;
  }
  return std::to_string(static_cast<unsigned>(code));
}

}  // namespace launcher::testing
