/*
 * The library's records as the plain Python values the package builds its
 * objects from (dicts of str, int, bool and lists), and failures raised as
 * the package's exceptions: the factory that makes them is registered by
 * quarn/_errors.py at import. Call with the GIL.
 */
#ifndef QX_QUARN_PYTHON_OUTCOMEOBJECTS_HH_
#define QX_QUARN_PYTHON_OUTCOMEOBJECTS_HH_

#include <pybind11/pybind11.h>

#include <cstdint>
#include <map>
#include <string>

#include <qx/quarn_tools/DownloadOutcome.hh>
#include <qx/quarn_tools/ResourceUpdate.hh>
#include <qx/quarn_tools/Result.hh>

namespace qx::quarn_python {

namespace py = pybind11;

// The bytes of the regular files below each path of an outcome (its own,
// its dependencies', its members'), measured off the GIL where the work
// runs.
using DiskSizes = std::map<std::string, std::uint64_t>;
DiskSizes diskSizes(const qx::quarn_tools::DownloadOutcome &outcome);

// kind, url, resource_url, server, owner, name, version, path,
// resource_path, file, size (from `sizes`, 0 when not there), from_cache,
// bytes, ok, error (an exception object or None), dependencies and members
// (lists of the same).
py::dict outcomeObject(const qx::quarn_tools::DownloadOutcome &outcome,
                       const DiskSizes &sizes = {});

// `failure` of the operation behind `result`, named even when it says
// nothing (kOther, with the result's readable text).
qx::quarn_tools::DownloadFailure failureOf(const qx::quarn_tools::DownloadFailure &failure,
                                          const qx::quarn_tools::Result &result);

// The exception object of a failure about `url` (not raised).
py::object failureObject(const qx::quarn_tools::DownloadFailure &failure, const std::string &url);

// Raises the exception of a failure about `url`.
[[noreturn]] void raiseFailure(const qx::quarn_tools::DownloadFailure &failure,
                               const std::string &url);

// A failure of the module's own (invalid input and the like), with
// `reason` one of failureReasonName's words.
[[noreturn]] void raiseFailure(qx::quarn_tools::FailureReason reason, const std::string &text,
                               const std::string &url = "");

// kind, server, owner, name, cached_version, server_version, ok, status
// ("current", "updated" or "failed"), path, error.
py::dict updateObject(const qx::quarn_tools::ResourceUpdate &update);

// Registers the factory: error_factory(dict) -> exception object.
void setErrorFactory(py::object factory);

}  // namespace qx::quarn_python

#endif  // QX_QUARN_PYTHON_OUTCOMEOBJECTS_HH_
