#include "ClientBinding.hh"

#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <utility>

#include <qx/common/Filesystem.hh>
#include <qx/common/URI.hh>
#include <qx/quarn_tools/Cancellation.hh>
#include <qx/quarn_tools/CommandText.hh>
#include <qx/quarn_tools/LocalCache.hh>
#include <qx/quarn_tools/QuarnClient.hh>
#include <qx/quarn_tools/ResourcePages.hh>
#include <qx/quarn_tools/ResourceRequests.hh>

#include "GuardedCall.hh"
#include "OutcomeObjects.hh"

namespace qx::quarn_python {

namespace {

using qx::quarn_tools::ClientConfig;
using qx::quarn_tools::DownloadOutcome;
using qx::quarn_tools::FailureReason;
using qx::quarn_tools::ModelIdentifier;
using qx::quarn_tools::QuarnClient;
using qx::quarn_tools::RequestOptions;
using qx::quarn_tools::ResourceKind;
using qx::quarn_tools::ResourceRequests;
using qx::quarn_tools::Result;
using qx::quarn_tools::ServerConfig;
using qx::quarn_tools::WorldIdentifier;

std::string withoutTrailingSlash(std::string url) {
  while (url.size() > 1 && url.back() == '/') url.pop_back();
  return url;
}

// The configured server of that URL text, or a new one with the default API
// version.
ServerConfig serverNamed(const ClientConfig &config, const std::string &url) {
  const std::string wanted = withoutTrailingSlash(url);
  for (const ServerConfig &server : config.Servers()) {
    if (withoutTrailingSlash(server.Url().Str()) == wanted) return server;
  }
  ServerConfig server;
  server.SetUrl(qx::common::URI(wanted, true));
  return server;
}

[[noreturn]] void raiseResult(const Result &result, const std::string &url) {
  raiseFailure(failureOf(qx::quarn_tools::failureOf(result), result), url);
}

std::string versionedUrl(const ServerConfig &server, const std::string &owner,
                         const std::string &kind, const std::string &name, unsigned int version) {
  const std::string url = qx::quarn_tools::resourceUrl(server, owner, kind, name);
  return version == 0 ? url : url + "/" + std::to_string(version);
}

py::dict modelRecord(const ModelIdentifier &model) {
  py::dict record;
  record["kind"] = "model";
  record["server"] = model.Server().Url().Str();
  record["owner"] = model.Owner();
  record["name"] = model.Name();
  record["version"] = model.Version();
  record["url"] = versionedUrl(model.Server(), model.Owner(), "models", model.Name(),
                               model.Version());
  record["size"] = model.FileSize();
  record["description"] = model.Description();
  record["private"] = model.Private();
  record["tags"] = model.Tags();
  return record;
}

py::dict worldRecord(const WorldIdentifier &world) {
  py::dict record;
  record["kind"] = "world";
  record["server"] = world.Server().Url().Str();
  record["owner"] = world.Owner();
  record["name"] = world.Name();
  record["version"] = world.Version();
  record["url"] = versionedUrl(world.Server(), world.Owner(), "worlds", world.Name(),
                               world.Version());
  record["size"] = 0;
  record["description"] = "";
  record["private"] = world.Private();
  record["tags"] = std::vector<std::string>();
  return record;
}

}  // namespace

struct Client::State {
  std::unique_ptr<QuarnClient> client;
  // The same configuration offline: a fetch that the cache answers needs no
  // thread and no request.
  std::unique_ptr<QuarnClient> cacheOnly;
  // "Private-token: TOKEN" for the server of each call's URL.
  std::vector<std::string> headers;
};

Client::Client(const ClientSettings &settings) : state_(std::make_shared<State>()) {
  const ClientConfig config = clientConfig(settings);
  const std::string token = clientToken(settings);
  if (!token.empty()) state_->headers.push_back("Private-token: " + token);
  py::gil_scoped_release released;
  state_->client = std::make_unique<QuarnClient>(config, qx::quarn_tools::Rest());
  ClientConfig offline = config;
  offline.SetOffline(true);
  state_->cacheOnly = std::make_unique<QuarnClient>(offline, qx::quarn_tools::Rest());
}

namespace {

// What fetch and fetch_many ask for, as the tool's fetch does: a world with
// every model it includes.
RequestOptions fetchOptions(const std::vector<std::string> &headers) {
  RequestOptions options;
  options.headers = headers;
  options.includes = true;
  return options;
}

// Gives the call its own cancellation handle, and what an interrupt does to
// it: cancels that call alone, so other threads' calls go on.
InterruptAction cancelledByInterrupt(RequestOptions &options) {
  const qx::quarn_tools::Cancellation handle;
  options.cancellation = handle;
  return [handle] { handle.Cancel(); };
}

}  // namespace

std::int64_t Client::TimeCachedFetch(const std::string &url, std::size_t calls) const {
  using Clock = std::chrono::steady_clock;
  std::vector<std::int64_t> nanoseconds(std::max<std::size_t>(calls, 1));
  py::gil_scoped_release released;
  const ResourceRequests requests(*state_->client);
  for (std::int64_t &sample : nanoseconds) {
    const auto start = Clock::now();
    const DownloadOutcome outcome = requests.Fetch(url);
    sample = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    if (!outcome) return -1;
  }
  const auto middle = nanoseconds.begin() + nanoseconds.size() / 2;
  std::nth_element(nanoseconds.begin(), middle, nanoseconds.end());
  return *middle;
}

std::string Client::Fetch(const std::string &url) const {
  RequestOptions options = fetchOptions(state_->headers);
  DownloadOutcome outcome;
  {
    py::gil_scoped_release released;
    outcome = ResourceRequests(*state_->cacheOnly).Fetch(url, options);
  }
  if (outcome) return outcome.path;
  // Not cached, or not all of it: the online road (offline, the same answer).
  if (outcome.failure.reason != FailureReason::kInvalidUrl && !state_->client->Config().Offline()) {
    const std::shared_ptr<State> state = state_;
    const InterruptAction interrupt = cancelledByInterrupt(options);
    outcome = callGuarded<DownloadOutcome>(
        [state, url, options] { return ResourceRequests(*state->client).Fetch(url, options); },
        interrupt);
  }
  if (!outcome) raiseFailure(outcome.failure, url);
  return outcome.path;
}

py::list Client::FetchMany(const std::vector<std::string> &urls, std::size_t jobs) const {
  RequestOptions options = fetchOptions(state_->headers);
  const InterruptAction interrupt = cancelledByInterrupt(options);
  const std::shared_ptr<State> state = state_;
  const std::vector<DownloadOutcome> outcomes = callGuarded<std::vector<DownloadOutcome>>(
      [state, urls, jobs, options] {
        return ResourceRequests(*state->client).FetchResources(urls, jobs, options);
      },
      interrupt);
  py::list results;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const DownloadOutcome &outcome = outcomes[i];
    if (outcome)
      results.append(py::str(outcome.path));
    else
      results.append(outcomeObject(outcome)["error"]);
  }
  return results;
}

py::dict Client::Download(const std::string &url, std::size_t jobs, bool force,
                          py::object progress) const {
  RequestOptions options;
  options.headers = state_->headers;
  options.force = force;
  options.jobs = jobs;
  // As the tool's download: a world with every model it includes.
  options.includes = true;
  const InterruptAction interrupt = cancelledByInterrupt(options);
  const std::shared_ptr<State> state = state_;
  ProgressSlices slices(std::move(progress));
  using Sized = std::pair<DownloadOutcome, DiskSizes>;
  const auto [outcome, sizes] = callGuarded<Sized>(
      [state, url, options] {
        DownloadOutcome outcome = ResourceRequests(*state->client).Download(url, options);
        DiskSizes sizes = diskSizes(outcome);
        return Sized(std::move(outcome), std::move(sizes));
      },
      slices, interrupt);
  return outcomeObject(outcome, sizes);
}

py::dict Client::Details(const std::string &url) const {
  const qx::common::URI uri(url, false);
  ModelIdentifier model;
  WorldIdentifier world;
  const bool isModel = state_->client->ParseModelUrl(uri, model);
  if (!isModel && !state_->client->ParseWorldUrl(uri, world))
    raiseFailure(FailureReason::kInvalidUrl, "details take the URL of a model or world", url);
  const std::shared_ptr<State> state = state_;
  const std::vector<std::string> headers = state_->headers;
  // Everything the work uses is its own: after an interrupt it may outlive
  // this call.
  if (isModel) {
    const auto [result, details] =
        callGuarded<std::pair<Result, ModelIdentifier>>([state, model, headers] {
          ModelIdentifier answer;
          Result result = state->client->ModelDetails(model, answer, headers);
          return std::make_pair(std::move(result), answer);
        });
    if (!result) raiseResult(result, url);
    return modelRecord(details);
  }
  const auto [result, details] =
      callGuarded<std::pair<Result, WorldIdentifier>>([state, world, headers] {
        WorldIdentifier answer;
        Result result = state->client->WorldDetails(world, answer, headers);
        return std::make_pair(std::move(result), answer);
      });
  if (!result) raiseResult(result, url);
  return worldRecord(details);
}

struct Listing::Walk {
  Walk(const ClientConfig &config, const ServerConfig &server, const std::string &kind,
       const std::string &owner)
      : pages(config, qx::quarn_tools::Rest(), server, kind, owner),
        models(kind == "models"),
        server(server) {}

  // One page at a time: a worker left behind by an interrupt may still be
  // taking one.
  std::mutex taking;
  qx::quarn_tools::ResourcePages pages;
  const bool models;
  const ServerConfig server;
};

Listing::Listing(std::shared_ptr<Walk> walk) : walk_(std::move(walk)) {}

py::list Listing::NextPage() const {
  struct Page {
    std::vector<ModelIdentifier> models;
    std::vector<WorldIdentifier> worlds;
    Result outcome;
  };
  const std::shared_ptr<Walk> walk = walk_;
  const Page page = callGuarded<Page>([walk] {
    const std::lock_guard<std::mutex> lock(walk->taking);
    Page taken;
    if (walk->models)
      walk->pages.NextPage(taken.models);
    else
      walk->pages.NextPage(taken.worlds);
    taken.outcome = walk->pages.Outcome();
    return taken;
  });
  py::list records;
  for (const ModelIdentifier &model : page.models) records.append(modelRecord(model));
  for (const WorldIdentifier &world : page.worlds) records.append(worldRecord(world));
  if (records.empty() && !page.outcome) raiseResult(page.outcome, walk->server.Url().Str());
  return records;
}

Listing Client::Pages(const std::string &kind, const std::string &serverUrl,
                      const std::string &owner) const {
  const ServerConfig server = serverNamed(state_->client->Config(), serverUrl);
  return Listing(std::make_shared<Listing::Walk>(state_->client->Config(), server, kind, owner));
}

std::vector<std::string> Client::Servers() const {
  std::vector<std::string> urls;
  for (const ServerConfig &server : state_->client->Config().Servers())
    urls.push_back(server.Url().Str());
  return urls;
}

std::pair<std::string, std::string> Client::Upload(const std::string &path,
                                                  const std::string &serverUrl,
                           const std::string &owner, bool isPrivate) const {
  if (state_->client->Config().Offline())
    raiseFailure(FailureReason::kOffline, "offline: upload needs the server", serverUrl);
  if (!qx::common::isDirectory(path))
    raiseFailure(FailureReason::kOther, "the model path [" + path + "] is no directory");
  ModelIdentifier target;
  target.SetServer(serverNamed(state_->client->Config(), serverUrl));
  const std::shared_ptr<State> state = state_;
  const std::vector<std::string> headers = state_->headers;
  const Result result = callGuarded<Result>([state, target, headers, path, isPrivate, owner] {
    state->client->PopulateLicenses(target.Server());
    return state->client->UploadModel(path, target, headers, isPrivate, owner);
  });
  if (!result) raiseResult(result, serverUrl);
  return {result.Reply() == nullptr ? "" : result.Reply()->text, target.Server().Version()};
}

void Client::Edit(const std::string &url, std::optional<bool> isPrivate,
                  const std::optional<std::string> &path) const {
  if (state_->client->Config().Offline())
    raiseFailure(FailureReason::kOffline, "offline: edit needs the server", url);
  ModelIdentifier model;
  if (!state_->client->ParseModelUrl(qx::common::URI(url, false), model))
    raiseFailure(FailureReason::kInvalidUrl, "edit takes the URL of a model", url);
  if (path && !qx::common::isDirectory(*path))
    raiseFailure(FailureReason::kOther, "the model path [" + *path + "] is no directory", url);
  const std::shared_ptr<State> state = state_;
  const std::vector<std::string> headers = state_->headers;
  const Result result = callGuarded<Result>([state, model, headers, isPrivate, path] {
    ModelIdentifier details;
    Result answer = state->client->ModelDetails(model, details, headers);
    if (!answer) return answer;
    if (isPrivate) details.SetPrivate(*isPrivate);
    return state->client->PatchModel(details, headers, path.value_or(""));
  });
  if (!result) raiseResult(result, url);
}

void Client::Delete(const std::string &url) const {
  if (state_->client->Config().Offline())
    raiseFailure(FailureReason::kOffline, "offline: delete needs the server", url);
  const qx::common::URI uri(url, false);
  ModelIdentifier model;
  WorldIdentifier world;
  if (!state_->client->ParseModelUrl(uri, model) && !state_->client->ParseWorldUrl(uri, world))
    raiseFailure(FailureReason::kInvalidUrl, "delete takes the URL of a model or world", url);
  const std::shared_ptr<State> state = state_;
  const std::vector<std::string> headers = state_->headers;
  const Result result = callGuarded<Result>([state, uri, headers] { return state->client->DeleteUrl(uri, headers); });
  if (!result) raiseResult(result, url);
}

py::list Client::Update(bool models, bool worlds) const {
  const std::shared_ptr<State> state = state_;
  const std::vector<qx::quarn_tools::ResourceUpdate> updates =
      callGuarded<std::vector<qx::quarn_tools::ResourceUpdate>>([state, models, worlds] {
        std::vector<qx::quarn_tools::ResourceUpdate> all;
        if (models) state->client->UpdateModels({}, all);
        if (worlds) {
          std::vector<qx::quarn_tools::ResourceUpdate> more;
          state->client->UpdateWorlds({}, more);
          all.insert(all.end(), more.begin(), more.end());
        }
        return all;
      },
      // Updates take no handle: an interrupt abandons the process's
      // unfinished saves, as an interrupted quarn does.
      [] { qx::quarn_tools::abandonUnfinishedSaves(); });
  py::list records;
  for (const auto &update : updates) records.append(updateObject(update));
  return records;
}

std::string Client::CacheDir() const { return state_->client->Config().CacheLocation(); }

bool Client::Offline() const { return state_->client->Config().Offline(); }

void bindClient(py::module_ &module) {
  py::class_<Listing>(module, "Listing").def("next_page", &Listing::NextPage);
  py::class_<Client>(module, "Client")
      .def(py::init([](std::optional<std::string> config, std::optional<std::string> cacheDir,
                       bool offline, std::optional<std::string> token) {
             return Client(ClientSettings{std::move(config), std::move(cacheDir), offline,
                                          std::move(token)});
           }),
           py::arg("config"), py::arg("cache_dir"), py::arg("offline"), py::arg("token"))
      .def("fetch", &Client::Fetch, py::arg("url"))
      .def("_time_cached_fetch", &Client::TimeCachedFetch, py::arg("url"), py::arg("calls"))
      .def("fetch_many", &Client::FetchMany, py::arg("urls"), py::arg("jobs"))
      .def("download", &Client::Download, py::arg("url"), py::arg("jobs"), py::arg("force"),
           py::arg("progress"))
      .def("details", &Client::Details, py::arg("url"))
      .def("pages", &Client::Pages, py::arg("kind"), py::arg("server"), py::arg("owner"))
      .def("servers", &Client::Servers)
      .def("upload", &Client::Upload, py::arg("path"), py::arg("server"), py::arg("owner"),
           py::arg("private"))
      .def("edit", &Client::Edit, py::arg("url"), py::arg("private"), py::arg("path"))
      .def("delete", &Client::Delete, py::arg("url"))
      .def("update", &Client::Update, py::arg("models"), py::arg("worlds"))
      .def_property_readonly("cache_dir", &Client::CacheDir)
      .def_property_readonly("offline", &Client::Offline);
}

}  // namespace qx::quarn_python
