// quarn mirror export: a repository directory as static files with an nginx
// configuration that serves them.
#include <iostream>
#include <memory>
#include <qx/quarn_server/MirrorExport.hh>
#include <string>

#include "Commands.hh"
#include "TerminalOutput.hh"

namespace qx::quarn_cli {

namespace {

struct MirrorOptions {
  std::string root;
  std::string out;
  qx::quarn_server::MirrorOptions mirror;
};

int runMirrorExport(const MirrorOptions &options, const ToolOptions &) {
  qx::quarn_server::MirrorSummary done;
  if (!qx::quarn_server::exportMirror(options.root, options.out, options.mirror, &done)) return 1;
  std::cerr << done.versionsWritten << " versions written, " << done.versionsKept << " kept, "
            << done.documentsWritten << " documents written, " << done.removed << " removed\n";
  std::cout << shownPath(options.out) << "\n";
  return 0;
}

}  // namespace

void addMirrorCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<MirrorOptions>();
  CLI::App *mirror = app.add_subcommand("mirror", "Static mirrors of a repository directory");
  mirror->require_subcommand(1);
  CLI::App *command = subcommand(
      *mirror, "export",
      "Write everything a repository directory serves as files, with an nginx configuration "
      "(OUT/nginx.conf) that serves them; again, to bring the mirror up to date",
      "quarn mirror export ./examples/repository ./mirror --listen 0.0.0.0:8080");
  command->add_option("dir", options->root, "Repository directory, as for quarn serve")
      ->required()
      ->check(CLI::ExistingDirectory);
  command->add_option("out", options->out, "Export directory (empty, or an earlier export)")
      ->required();
  command->add_option("--listen", options->mirror.listen, "Address and port of nginx.conf")
      ->capture_default_str();
  command->add_option("--page-size", options->mirror.pageSize, "Entries per listing page")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  onChosen(command, options, action, runMirrorExport);
}

}  // namespace qx::quarn_cli
