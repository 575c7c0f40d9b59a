/*
 * quarn._quarn.Cache: what the cache holds and its upkeep, as `quarn cache`
 * does it (CacheInventory). Reads the disk afresh on every call, without
 * the GIL. Any thread.
 */
#ifndef QX_QUARN_PYTHON_CACHEBINDING_HH_
#define QX_QUARN_PYTHON_CACHEBINDING_HH_

#include <pybind11/pybind11.h>

namespace qx::quarn_python {

void bindCache(pybind11::module_ &module);

}  // namespace qx::quarn_python

#endif  // QX_QUARN_PYTHON_CACHEBINDING_HH_
