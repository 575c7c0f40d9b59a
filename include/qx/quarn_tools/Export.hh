/*
 * Symbol visibility. The library is built with hidden visibility; what the
 * public headers mark with QX_QUARN_TOOLS_VISIBLE is what it exports.
 */
#ifndef QX_QUARN_TOOLS_EXPORT_HH_
#define QX_QUARN_TOOLS_EXPORT_HH_

#define QX_QUARN_TOOLS_VISIBLE __attribute__((visibility("default")))

#endif  // QX_QUARN_TOOLS_EXPORT_HH_
