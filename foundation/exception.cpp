#include "foundation/exception.h"

#include "foundation/debug.h"
#include "foundation/logging.h"

namespace fn {

std::string
Exception::displayText() const {
  std::string text = name();
  if (!message_.empty()) {
    text += ": ";
    text += message_;
  }
  return text;
}

void
unhandledException() noexcept {
  try {
    std::string text;
    try {
      throw;
    } catch (const Exception &e) {
      text = e.displayText();
    } catch (const std::exception &e) {
      text = debug::demangleTypeName(typeid(e).name()) + ": " + e.what();
    } catch (...) {
      text = "unknown exception";
    }
    static logging::Category &category =
        logging::CategoryManager::instance().getCategory("fn.exception");
    category.log(logging::kError, {__FILE__, __LINE__, __func__}, nullptr, "",
                 "Unhandled exception: {}", text);
  } catch (...) {
    // Called outside a handler (std::terminate territory otherwise) or logging failed: the
    // report is best effort.
  }
}

}  // namespace fn
