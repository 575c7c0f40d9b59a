/*
 * Byte sizes as people write and read them, in powers of 1024: how the
 * configuration file and the environment give sizes ("16GiB"), and how log
 * lines and the quarn tool show them ("1.5 GiB"). Pure functions, safe on
 * any thread; they log nothing.
 */
#ifndef QX_QUARN_TOOLS_BYTESIZES_HH_
#define QX_QUARN_TOOLS_BYTESIZES_HH_

#include <cstdint>
#include <string>

#include "qx/quarn_tools/Export.hh"

namespace qx::quarn_tools {

// Reads "1000", "512K", "16GiB", "2 MB"... as bytes into `bytes`: a whole
// number and an optional unit (K, M, G, T, with or without "i" and "B", in
// any case), always in powers of 1024. False, leaving `bytes` as it was, for
// anything else or on overflow.
QX_QUARN_TOOLS_VISIBLE bool parseByteSize(const std::string &text, std::uint64_t &bytes);

// How many decimals humanBytes writes after a unit above bytes.
enum class ByteFigures {
  // One below 10 and none from 10 up: "1.5 KiB", "16 GiB" (log lines).
  kCompact,
  // Always one: "1.5 KiB", "16.0 GiB" (the quarn tool's sizes and rates).
  kOneDecimal,
};

// "900 B", "1.5 KiB", "16 GiB": `bytes` in the largest unit (B, KiB, MiB,
// GiB, TiB, PiB, EiB) that leaves a figure from 1 up. Whole bytes are
// written without decimals (a fraction of a byte is dropped).
QX_QUARN_TOOLS_VISIBLE std::string humanBytes(double bytes,
                                              ByteFigures figures = ByteFigures::kCompact);

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_BYTESIZES_HH_
