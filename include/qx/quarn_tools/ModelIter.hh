/*
 * Forward-only iteration over a list of models. A ModelIter solely owns one
 * strategy (ModelIterPrivate) that decides where the models come from: a
 * list of identifiers, a list of Model handles, or a server listing paged on
 * demand. Iterators move but do not copy; use one from one thread at a time.
 *
 *   for (ModelIter it = ...; it; ++it) use(*it);
 */
#ifndef QX_QUARN_TOOLS_MODELITER_HH_
#define QX_QUARN_TOOLS_MODELITER_HH_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/Model.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools {

// A source of models. `current` is what the iterator yields; it keeps the
// last model set once the end is reached (an empty Model if none ever was).
class QX_QUARN_TOOLS_VISIBLE ModelIterPrivate {
 public:
  ModelIterPrivate();
  ModelIterPrivate(const ModelIterPrivate &) = delete;
  ModelIterPrivate &operator=(const ModelIterPrivate &) = delete;
  virtual ~ModelIterPrivate();

  // Advances to the next model. REQUIRES: !HasReachedEnd().
  virtual void Next() = 0;
  virtual bool HasReachedEnd() const = 0;

  Model &Current();

 protected:
  Model current;
};

// Walks a copy of a list of identifiers, each yielded as a new Model with no
// cache path. The identifiers' servers are left as they are.
class QX_QUARN_TOOLS_VISIBLE IterIds : public ModelIterPrivate {
 public:
  explicit IterIds(std::vector<ModelIdentifier> ids);
  ~IterIds() override;

  void Next() override;
  bool HasReachedEnd() const override;

 private:
  void SetCurrent();

  std::vector<ModelIdentifier> ids;
  std::size_t position = 0;
};

// Walks a copy of a list of Model handles (sharing their records).
class QX_QUARN_TOOLS_VISIBLE IterModels : public ModelIterPrivate {
 public:
  explicit IterModels(std::vector<Model> models);
  ~IterModels() override;

  void Next() override;
  bool HasReachedEnd() const override;

 private:
  void SetCurrent();

  std::vector<Model> models;
  std::size_t position = 0;
};

class QX_QUARN_TOOLS_VISIBLE ModelIter {
 public:
  // Takes the strategy; a null strategy gives an iterator at its end.
  explicit ModelIter(std::unique_ptr<ModelIterPrivate> strategy);
  // Leaves `other` empty (at its end).
  ModelIter(ModelIter &&other) noexcept;
  ModelIter &operator=(ModelIter &&other) noexcept;
  ModelIter(const ModelIter &) = delete;
  ModelIter &operator=(const ModelIter &) = delete;
  ~ModelIter();

  // False once the end is reached.
  explicit operator bool() const;
  // Advances unless at the end (then does nothing).
  ModelIter &operator++();
  // The current model; after the end the last one, or an empty Model.
  Model &operator*() const;
  Model *operator->() const;

 private:
  std::unique_ptr<ModelIterPrivate> strategy_;
  // What an empty (moved-from or null) iterator yields.
  mutable Model none_;
};

class QX_QUARN_TOOLS_VISIBLE ModelIterFactory {
 public:
  // Over a copy of the identifiers.
  static ModelIter Create(const std::vector<ModelIdentifier> &ids);
  // Over a copy of the handles (sharing the records).
  static ModelIter Create(const std::vector<Model> &models);
  // Pages through the server's listing at route `api` (below the API
  // version, e.g. "models"), requesting page 1 here and each later page when
  // the walk reaches the end of the previous one. Only `rest`'s user agent
  // is taken.
  static ModelIter Create(const Rest &rest, const ServerConfig &server,
                          const std::string &api);
  // An iterator at its end from the start.
  static ModelIter Create();
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_MODELITER_HH_
