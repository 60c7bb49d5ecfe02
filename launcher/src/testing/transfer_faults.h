// The error number each kind of transfer failure carries in the transport's
// texts ("Can't reach the update server (error N)"): libcurl's CURLcode on
// Linux, a WinHTTP error on Windows. Tests name the kind, the build supplies
// the number, so one test checks either transport.
#pragma once

#include <string>

namespace launcher::testing {

enum class TransferFault {
  CouldNotConnect,   // nothing listens at the address
  TimedOut,          // the request's total time limit passed
  TooManyRedirects,  // more than 10 redirects
  RedirectScheme,    // a redirect to a scheme other than http(s)
  BodyCutShort,      // the connection ended before the declared length
};

// The decimal number the transport reports for `fault`.
[[nodiscard]] std::string transferFaultCode(TransferFault fault);

// "Can't reach the update server (error N)" for `fault`: a GET's text.
[[nodiscard]] std::string unreachableText(TransferFault fault);
// "Can't reach the server (error N)" for `fault`: a JSON request's text.
[[nodiscard]] std::string serverUnreachableText(TransferFault fault);

}  // namespace launcher::testing
