// Logger: Python only ever borrows the process-wide singleton (a holder that never deletes). The
// level texts map to the native codes here; an unknown text is std::invalid_argument
// "Invalid log level: " + text (ValueError) and leaves the logger as it was.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/logger.h"
#include "python/bindings.h"

namespace py = pybind11;

namespace dodezero_vizu {
namespace {

using ostrik::Logger;

constexpr const char* kDefaultLogFile = "ostrik_client.log";

int32_t ParseLogLevel(const std::string& level) {
  if (level == "info") return ostrik::INFO;
  if (level == "warning") return ostrik::WARNING;
  if (level == "error") return ostrik::ERROR;
  if (level == "critical") return ostrik::CRITICAL;
  throw std::invalid_argument("Invalid log level: " + level);
}

}  // namespace

void BindLogger(py::module_& m) {
  py::class_<Logger, std::unique_ptr<Logger, py::nodelete>>(m, "Logger")
      .def_static("instance", &Logger::instance, py::return_value_policy::reference)
      .def(
          "configure",
          [](Logger& logger, const std::string& level, bool to_file, const std::optional<std::string>& file_path) {
            logger.configure(ParseLogLevel(level), to_file, file_path.value_or(kDefaultLogFile));
          },
          py::arg("level"), py::arg("to_file") = false, py::arg("file_path") = py::none(),
          "Configure the logger instance.\n\n"
          "Parameters:\n"
          "    level (str): Lowest level written: 'info', 'warning', 'error' or 'critical'.\n"
          "    to_file (bool): Write to a log file instead of the console (default False).\n"
          "    file_path (str, optional): Path of the log file, opened for appending (default\n"
          "        'ostrik_client.log' in the working directory). Used only when to_file is True.\n\n"
          "Raises:\n"
          "    ValueError: If level is not one of the texts above.\n\n"
          "Example:\n"
          "    >>> Logger.instance().configure('info', to_file=True, file_path='client.log')\n")
      .def("info", [](Logger& logger, const std::string& message) { logger.info(message); })
      .def("debug", [](Logger& logger, const std::string& message) { logger.debug(message); })
      .def("warning", [](Logger& logger, const std::string& message) { logger.warning(message); })
      .def("error", [](Logger& logger, const std::string& message) { logger.error(message); })
      .def("critical", [](Logger& logger, const std::string& message) { logger.critical(message); });
}

}  // namespace dodezero_vizu
