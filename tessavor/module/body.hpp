// The module body: what `import m4r_tessavor` runs once per process.
#pragma once

namespace tessavor {

// Runs the body statement by statement into the module's namespace: the six
// imports, the four classes, the three functions. Returns false with the
// failing statement's own exception set; the statements before it are not
// undone.
[[nodiscard]] bool run_module_body() noexcept;

}  // namespace tessavor
