/*
 * The command functions: what a command-line front end calls, by plain
 * (unmangled) names, with zero-terminated texts. Each call builds its own
 * configuration and client and releases them before it returns. Messages for
 * the user go to standard output, log lines to standard error. None of them
 * throws, and a null pointer is never dereferenced: a null where a text is
 * required is an error line and a failure result. Call them from one thread
 * at a time.
 */
#ifndef QX_QUARN_TOOLS_QX_HH_
#define QX_QUARN_TOOLS_QX_HH_

#include <string>

#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/Export.hh"

extern "C" {

// A fresh copy of the library's version text ("11.0.0"); release it with
// free(). Null only when memory runs out.
QX_QUARN_TOOLS_VISIBLE char *qxVersion(void);

// Sets the console verbosity to the number in the text (non-numeric text
// gives 0): 0 silent, 1 errors, 2 warnings, 3 messages, 4 debug.
QX_QUARN_TOOLS_VISIBLE void cmdVerbosity(const char *verbosity);

// Lists the models (worlds) of the server `url` (empty: the configured
// servers), of one owner (empty: all owners), as a coloured tree, or with
// raw "true" (any case) as one URL per line. `configPath` may be null or
// empty. 1 when the listing ran, 0 for an invalid URL or a null text.
QX_QUARN_TOOLS_VISIBLE int listModels(const char *url, const char *owner, const char *raw,
                                      const char *configPath);
QX_QUARN_TOOLS_VISIBLE int listWorlds(const char *url, const char *owner, const char *raw,
                                      const char *configPath);

// Downloads the model (with its dependencies), world or collection that `url`
// names into the cache. `header` is one extra request line for a model (may
// be null or empty); `type` restricts a collection to "model" or "world"
// (null: both); `jobs` parallel downloads for a collection (below 1 counts as
// 1). True when everything downloaded.
QX_QUARN_TOOLS_VISIBLE bool downloadUrl(const char *url, const char *configPath,
                                        const char *header, const char *type, int jobs);

// Uploads the model directory `path`, or every model directory directly
// inside it, to the server `url` (null or empty: the default server).
// `privateText` "true" or "1" (any case) uploads privately. The others may be
// null or empty.
QX_QUARN_TOOLS_VISIBLE bool upload(const char *path, const char *url, const char *header,
                                   const char *privateText, const char *owner);

// Edits the model at `url`: its private flag (`privateText` "true" or "1",
// any case, makes it private; other text public) and, with `modelPath`,
// everything that directory describes (a model path needs the private text
// too). Without either, only checks that the model's details can be fetched.
QX_QUARN_TOOLS_VISIBLE bool editUrl(const char *url, const char *header, const char *privateText,
                                    const char *modelPath);

// Asks the server to delete the model or world at `url`. True whatever the
// server answers (the log tells), false only for a null URL.
QX_QUARN_TOOLS_VISIBLE bool deleteUrl(const char *url, const char *header);

// Prints the metadata record of a model.config file in text format (or the
// model.config of a metadata text file) on standard output. 1 on success.
QX_QUARN_TOOLS_VISIBLE int config2Pbtxt(const char *path);
QX_QUARN_TOOLS_VISIBLE int pbtxt2Config(const char *path);

// Brings every cached model and world up to its newest server version;
// "true" or "1" in `onlyModels` (`onlyWorlds`) skips the worlds (models).
// All three may be null or empty. 1 on success.
QX_QUARN_TOOLS_VISIBLE int update(const char *onlyModels, const char *onlyWorlds,
                                  const char *header);

}  // extern "C"

namespace qx::quarn_tools {

// The configuration every command function starts from: the default one or,
// with a configuration file (not null, not empty), only what that file says,
// keeping the default cache location when the file names none; the user
// agent "QuarnTools 11.0.0".
QX_QUARN_TOOLS_VISIBLE ClientConfig commandConfig(const char *configPath);
// The same, with `loaded` false when the file given did not load (the
// reason logged), so that a caller can refuse to go on without it.
QX_QUARN_TOOLS_VISIBLE ClientConfig commandConfig(const char *configPath, bool &loaded);

// The configuration file the quarn tool reads when given none, and where
// `quarn login` writes: config.yaml (or an existing config.yml) in
// QX_QUARN_CACHE_PATH when set, else in HOME/.qx/quarn. Empty without either.
QX_QUARN_TOOLS_VISIBLE std::string defaultConfigFile();

// Whether QX_QUARN_OFFLINE asks for offline mode ("1", "true" or "yes", any
// case).
QX_QUARN_TOOLS_VISIBLE bool offlineByEnvironment();

// downloadUrl that also tells where the download went: the cached version
// directory of a model or world, or the cache directory of a collection's
// server. `path` is written only on success.
QX_QUARN_TOOLS_VISIBLE bool downloadUrlToPath(const char *url, const char *configPath,
                                              const char *header, const char *type, int jobs,
                                              std::string &path);

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_QX_HH_
