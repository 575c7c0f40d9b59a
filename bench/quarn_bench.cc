// Benchmarks of the paths a simulator hits most: loading a large
// configuration file, resolving a URL, looking a model up in a large cache,
// unpacking an archive, and downloading a model from a repository server on
// loopback; and how long our server takes to answer for a version of many
// files whose archive is built.
//
// FetchResources of 1,000 cached URLs (goal: at most 5 ms), one command:
//   bash bench/run.sh --benchmark_filter=FetchResource --benchmark_repetitions=3
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <zip.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/quarn_server/RepositoryServer.hh>
#include <qx/quarn_tools/LocalCache.hh>
#include <qx/quarn_tools/QuarnClient.hh>
#include <qx/quarn_tools/ResourceFetching.hh>
#include <qx/quarn_tools/ResourceRequests.hh>
#include <qx/quarn_tools/Zip.hh>

namespace fs = std::filesystem;
using namespace qx::quarn_tools;

namespace {

// A temporary directory removed at exit of the benchmark.
struct Scratch {
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "qx-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string path;
};

void WriteFile(const fs::path &path, const std::string &content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

ClientConfig ConfigFor(const std::string &cache, const std::string &url) {
  ClientConfig config;
  config.SetCacheLocation(cache);
  ServerConfig server;
  server.SetUrl(qx::common::URI(url, true));
  config.AddServer(server);
  return config;
}

// Loading a configuration file that names `servers` servers (each with a
// different URL, so each is checked against all before it); loading should
// grow linearly with their number.
void BM_LoadConfig(benchmark::State &state) {
  Scratch scratch;
  const auto servers = state.range(0);
  std::string content = "servers:\n";
  for (int64_t i = 0; i < servers; ++i) content += "  - url: http://h" + std::to_string(i) + "\n";
  const std::string path = scratch.path + "/config.yaml";
  WriteFile(path, content);
  for (auto _ : state) {
    ClientConfig config;
    benchmark::DoNotOptimize(config.LoadConfig(path));
  }
  state.SetComplexityN(servers);
}
BENCHMARK(BM_LoadConfig)->Arg(1000)->Arg(11000)->Arg(44000)->Complexity()->Unit(benchmark::kMillisecond);

void BM_ParseModelFileUrl(benchmark::State &state) {
  Scratch scratch;
  QuarnClient client(ConfigFor(scratch.path, "https://localhost:8000"), Rest());
  const qx::common::URI url(
      "https://localhost:8000/1.0/alice/models/warehouse_shelf/12/files/meshes/shelf.dae");
  for (auto _ : state) {
    ModelIdentifier id;
    std::string file;
    benchmark::DoNotOptimize(client.ParseModelFileUrl(url, id, file));
  }
}
BENCHMARK(BM_ParseModelFileUrl);

// A cache of `models` models with three versions each; finds the newest
// version of one of them.
void BM_MatchingModel(benchmark::State &state) {
  Scratch scratch;
  const auto models = state.range(0);
  const fs::path server = fs::path(scratch.path) / "localhost%3A8000" / "alice" / "models";
  for (int64_t i = 0; i < models; ++i) {
    for (int version = 1; version <= 3; ++version) {
      WriteFile(server / ("m" + std::to_string(i)) / std::to_string(version) / "model.config",
                "<model/>");
    }
  }
  const ClientConfig config = ConfigFor(scratch.path, "https://localhost:8000");
  LocalCache cache(&config);
  ModelIdentifier id;
  id.SetServer(config.Servers().back());
  id.SetOwner("alice");
  id.SetName("m" + std::to_string(models / 2));
  for (auto _ : state) benchmark::DoNotOptimize(cache.MatchingModel(id));
  state.SetComplexityN(models);
}
BENCHMARK(BM_MatchingModel)->Arg(10)->Arg(100)->Arg(1000)->Complexity();

// A cache of `models` models (one version each, a model.config naming its
// SDF file and no dependency) on one configured server, and the URLs of
// their newest versions, as a world names them.
std::vector<std::string> CachedModelUrls(const std::string &cache, int64_t models) {
  const fs::path server = fs::path(cache) / "localhost%3A8000" / "alice" / "models";
  std::vector<std::string> urls;
  for (int64_t i = 0; i < models; ++i) {
    const std::string name = "m" + std::to_string(i);
    WriteFile(server / name / "1" / "model.config",
              "<?xml version='1.0'?><model><name>" + name +
                  "</name><version>1.0</version><sdf version='1.9'>model.sdf</sdf></model>");
    WriteFile(server / name / "1" / "model.sdf", "<sdf version='1.9'/>");
    urls.push_back("https://localhost:8000/1.0/alice/models/" + name);
  }
  return urls;
}

// An offline client configuration for the cache of CachedModelUrls.
ClientConfig OfflineConfig(const std::string &cache) {
  ClientConfig config = ConfigFor(cache, "https://localhost:8000");
  config.MutableServers().back().SetVersion("1.0");
  config.SetOffline(true);
  return config;
}

// FetchResources of `models` cached URLs in one call: every answer from the
// cache, nothing asked. The goal: 1,000 URLs in at most 5 ms.
void BM_FetchResourcesCached(benchmark::State &state) {
  Scratch scratch;
  const std::vector<std::string> urls = CachedModelUrls(scratch.path, state.range(0));
  QuarnClient client(OfflineConfig(scratch.path), Rest());
  const ResourceRequests requests(client);
  // A cache published a moment ago is read afresh each time (file times are
  // coarse); a simulator's cache is older than a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  for (auto _ : state) {
    const std::vector<DownloadOutcome> outcomes = requests.FetchResources(urls, 8);
    if (outcomes.size() != urls.size() || !outcomes.back()) state.SkipWithError("not cached");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FetchResourcesCached)->Arg(1000)->Unit(benchmark::kMillisecond);

// What a simulator does today instead: fetchResourceWithClient per URL.
void BM_FetchResourceOneByOneCached(benchmark::State &state) {
  Scratch scratch;
  const std::vector<std::string> urls = CachedModelUrls(scratch.path, state.range(0));
  QuarnClient client(OfflineConfig(scratch.path), Rest());
  for (auto _ : state) {
    for (const std::string &url : urls) {
      if (fetchResourceWithClient(url, client).empty()) state.SkipWithError("not cached");
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FetchResourceOneByOneCached)->Arg(1000)->Unit(benchmark::kMillisecond);

// Unpacks an archive of `files` files of 64 KiB each.
void BM_ZipExtract(benchmark::State &state) {
  Scratch scratch;
  const fs::path tree = fs::path(scratch.path) / "tree";
  const std::string content(64 * 1024, 'x');
  for (int64_t i = 0; i < state.range(0); ++i)
    WriteFile(tree / "meshes" / ("part" + std::to_string(i) + ".dae"), content);
  const std::string archive = (fs::path(scratch.path) / "tree.zip").string();
  if (!Zip::Compress(tree.string(), archive)) std::abort();
  int round = 0;
  for (auto _ : state) {
    const std::string out = (fs::path(scratch.path) / ("out" + std::to_string(round++))).string();
    benchmark::DoNotOptimize(Zip::Extract(archive, out));
    state.PauseTiming();
    fs::remove_all(out);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * int64_t(content.size()));
}
BENCHMARK(BM_ZipExtract)->Arg(16)->Arg(128)->Unit(benchmark::kMillisecond);

// Downloads a model with a 4 MiB mesh from our server on loopback into a
// fresh cache each round.
void BM_DownloadModel(benchmark::State &state) {
  Scratch scratch;
  const fs::path version = fs::path(scratch.path) / "repo" / "alice" / "models" / "big" / "1";
  WriteFile(version / "model.config",
            "<model><name>big</name><sdf version='1.9'>model.sdf</sdf></model>");
  WriteFile(version / "model.sdf", "<sdf version='1.9'><model name='big'/></sdf>");
  WriteFile(version / "meshes" / "big.dae", std::string(4 << 20, 'm'));
  qx::quarn_server::RepositoryServer server((fs::path(scratch.path) / "repo").string(), {});
  if (!server.Start()) std::abort();
  int round = 0;
  for (auto _ : state) {
    const std::string cache = (fs::path(scratch.path) / ("cache" + std::to_string(round++))).string();
    QuarnClient client(ConfigFor(cache, server.Url()), Rest());
    ModelIdentifier id;
    id.SetServer(client.Config().Servers().back());
    id.SetOwner("alice");
    id.SetName("big");
    benchmark::DoNotOptimize(client.DownloadModel(id));
    state.PauseTiming();
    fs::remove_all(cache);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * int64_t(4 << 20));
  server.Stop();
}
BENCHMARK(BM_DownloadModel)->Unit(benchmark::kMillisecond);

// A conditional GET (answered 304) of the built archive of a version of
// `files` small files: the server looks at every file once to see whether
// the archive is current, then answers from what it keeps while nothing in
// the repository changes, in time that does not grow with their number
// (nginx answers the same from the export in a few ms).
void BM_ArchiveOfManyFilesNotModified(benchmark::State &state) {
  Scratch scratch;
  const fs::path repo = fs::path(scratch.path) / "repo";
  const fs::path version = repo / "lab" / "models" / "many" / "1";
  WriteFile(version / "model.config", "<model><name>many</name></model>");
  for (int i = 0; i < state.range(0); ++i)
    WriteFile(version / "d" / std::to_string(i % 50) / ("f" + std::to_string(i) + ".txt"), "x");
  qx::quarn_server::RepositoryServer::Options options;
  options.prebuild = true;
  qx::quarn_server::RepositoryServer server(repo.string(), options);
  if (!server.Start()) std::abort();
  httplib::Client client(server.Url());
  const std::string target = "/1.0/lab/models/many/1/many.zip";
  const httplib::Headers headers{{"If-None-Match", "*"}};
  for (auto _ : state) {
    auto result = client.Get(target.c_str(), headers);
    if (!result || result->status != 304) std::abort();
  }
  state.SetComplexityN(state.range(0));
  server.Stop();
}
BENCHMARK(BM_ArchiveOfManyFilesNotModified)
    ->Arg(500)
    ->Arg(5000)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  qx::common::Console::SetVerbosity(0);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
