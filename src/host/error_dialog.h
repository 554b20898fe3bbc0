// Showing a user error and ending the operation.
#pragma once

#include <string>
#include <string_view>

namespace zeb::host {

// Shows "text" in an error dialog (OK button, help context 0) through the Application. When
// "abort" is true it then raises EAbort, so that nothing after the call runs and the host
// reports nothing more; every caller in the module passes true.
// "detail", when given, travels with the EAbort (EAbort::detail()) for hosts that print more
// than the dialog shows; the dialog shows "text" alone.
void MensErro(std::string_view text, bool abort, std::string detail = {});

}  // namespace zeb::host
