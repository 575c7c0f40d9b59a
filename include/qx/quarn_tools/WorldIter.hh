/*
 * Forward-only iteration over a list of worlds. A WorldIter solely owns one
 * strategy (WorldIterPrivate): a list of identifiers, or a server listing
 * whose pages are all fetched when the strategy is built. Iterators move but
 * do not copy; use one from one thread at a time.
 *
 *   for (WorldIter it = ...; it; ++it) use(*it);
 */
#ifndef QX_QUARN_TOOLS_WORLDITER_HH_
#define QX_QUARN_TOOLS_WORLDITER_HH_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/ServerConfig.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"

namespace qx::quarn_tools {

// A source of worlds. `current` is what the iterator yields; it keeps the
// last world set once the end is reached (a default identifier if none was).
class QX_QUARN_TOOLS_VISIBLE WorldIterPrivate {
 public:
  WorldIterPrivate();
  WorldIterPrivate(const WorldIterPrivate &) = delete;
  WorldIterPrivate &operator=(const WorldIterPrivate &) = delete;
  virtual ~WorldIterPrivate();

  // Advances to the next world. REQUIRES: !HasReachedEnd().
  virtual void Next() = 0;
  virtual bool HasReachedEnd() const = 0;

  WorldIdentifier &Current();

 protected:
  WorldIdentifier current;
};

// Walks a copy of a list of identifiers (servers left as they are).
class QX_QUARN_TOOLS_VISIBLE WorldIterIds : public WorldIterPrivate {
 public:
  explicit WorldIterIds(std::vector<WorldIdentifier> ids);
  ~WorldIterIds() override;

  void Next() override;
  bool HasReachedEnd() const override;

 private:
  std::vector<WorldIdentifier> ids;
  std::size_t position = 0;
};

// A server's world listing at route `api` (below the API version). The
// constructor requests every page, following the server's "Link" header to
// the next one, and keeps all worlds, each with its server set to `server`.
// The walk ends at a failed page, an empty page, a page without a next link,
// or a next link without "page=" or naming a page already fetched.
class QX_QUARN_TOOLS_VISIBLE WorldIterRestIds : public WorldIterPrivate {
 public:
  // Only `rest`'s user agent is taken.
  WorldIterRestIds(const Rest &rest, const ServerConfig &server,
                   const std::string &api);
  ~WorldIterRestIds() override;

  void Next() override;
  bool HasReachedEnd() const override;

 private:
  void SetCurrent();

  ServerConfig config;
  Rest rest;
  std::vector<WorldIdentifier> ids;
  std::size_t position = 0;
};

class QX_QUARN_TOOLS_VISIBLE WorldIter {
 public:
  // Takes the strategy; a null strategy gives an iterator at its end.
  explicit WorldIter(std::unique_ptr<WorldIterPrivate> strategy);
  // Leaves `other` empty (at its end).
  WorldIter(WorldIter &&other) noexcept;
  WorldIter &operator=(WorldIter &&other) noexcept;
  WorldIter(const WorldIter &) = delete;
  WorldIter &operator=(const WorldIter &) = delete;
  ~WorldIter();

  // False once the end is reached.
  explicit operator bool() const;
  // A copy of the current world.
  operator WorldIdentifier() const;
  // Advances unless at the end (then does nothing).
  WorldIter &operator++();
  // The current world; after the end the last one, or a default identifier.
  WorldIdentifier &operator*() const;
  WorldIdentifier *operator->() const;

 private:
  std::unique_ptr<WorldIterPrivate> strategy_;
  // What an empty (moved-from or null) iterator yields.
  mutable WorldIdentifier none_;
};

class QX_QUARN_TOOLS_VISIBLE WorldIterFactory {
 public:
  // Over a copy of the identifiers.
  static WorldIter Create(const std::vector<WorldIdentifier> &ids);
  // A WorldIterRestIds: all pages are requested here.
  static WorldIter Create(const Rest &rest, const ServerConfig &server,
                          const std::string &api);
  // An iterator at its end from the start.
  static WorldIter Create();
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_WORLDITER_HH_
