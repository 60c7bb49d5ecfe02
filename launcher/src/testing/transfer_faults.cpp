#include "testing/transfer_faults.h"

namespace launcher::testing {

std::string unreachableText(TransferFault fault) {
  return "Can't reach the update server (error " + transferFaultCode(fault) + ")";
}

std::string serverUnreachableText(TransferFault fault) {
  return "Can't reach the server (error " + transferFaultCode(fault) + ")";
}

}  // namespace launcher::testing
