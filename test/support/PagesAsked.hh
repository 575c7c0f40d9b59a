/*
 * What the request log of a server says about a listing fetched ahead: the
 * pages it was asked for, and whether they are the pages the walk needed
 * plus none past the window asked ahead of the last page it took.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_PAGESASKED_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_PAGESASKED_HH_

#include <cstddef>
#include <vector>

#include <gtest/gtest.h>

#include "support/InstrumentedServer.hh"

namespace qx::test {

// The page number of each listing request in the order they arrived: the N
// of a "page=N" query, 1 for a request without a query, 0 for other queries.
std::vector<std::size_t> PagesAsked(const std::vector<RequestRecord> &requests);

// The last page a walk may have asked for when `taken` was the last page it
// took that did not end the listing: the pages asked ahead of it.
std::size_t EndOfWindow(std::size_t taken);

// Success when `asked` holds each page from 1 to `needed` exactly once and
// every other page it holds lies past `needed`, once, and not past `most`.
::testing::AssertionResult AskedPages(const std::vector<std::size_t> &asked, std::size_t needed,
                                      std::size_t most);

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_PAGESASKED_HH_
