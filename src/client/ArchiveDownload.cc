#include "ArchiveDownload.hh"

#include <unistd.h>

#include <cerrno>
#include <qx/common/Console.hh>
#include <qx/common/URI.hh>

#include "CacheNames.hh"
#include "FailureNotes.hh"
#include "IdentifierText.hh"
#include "RestClientInternal.hh"
#include "Routes.hh"
#include "ServerErrors.hh"
#include "ServerRequest.hh"
#include "qx/quarn_tools/ByteSizes.hh"

namespace qx::quarn_tools::internal {

const DownloadTexts kModelDownload{
    kModelsKind, "Can't download model, server configuration incomplete: ", "Downloading model [",
    "Failed to download model."};
const DownloadTexts kWorldDownload{
    kWorldsKind, "Can't download world, server configuration incomplete: ", "Downloading world [",
    "Failed to download world."};

namespace {

constexpr const char *kVersionHeader = "X-Qel-Resource-Version";

// How many referral links one download follows before giving up.
constexpr int kMaxReferralHops = 5;
// A referral body longer than this is no link.
constexpr std::size_t kMaxReferralBytes = 64 * 1024;

// A header value as the transport stores it ends with the line terminator
// the server sent; log lines quote it without, so each stays one line.
std::string WithoutLineEnd(std::string value) {
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  return value;
}

// A referral body is a link, possibly followed by a line end.
std::string TrimmedLink(const std::string &body) {
  const auto first = body.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const auto last = body.find_last_not_of(" \t\r\n");
  return body.substr(first, last - first + 1);
}

// Notes that the server's answer to `resource` is not what the protocol
// says: `what` in words.
void noteProtocolFailure(const ServerConfig &server, const std::string &resource,
                         const std::string &what) {
  DownloadFailure failure;
  failure.reason = FailureReason::kServer;
  failure.server = server.Url().Str();
  failure.resource = ResourceWords(resource);
  failure.status = 200;
  failure.text = failure.server + " answered " + failure.resource + " with " + what;
  NoteFailure(failure);
}

// The version the server delivered, from its version header: the header's
// number, or 1 (with a warning) when it is missing or not a 32-bit number.
unsigned int VersionFromHeaders(const RestResponse &response) {
  const auto header = response.headers.find(kVersionHeader);
  if (header == response.headers.end()) {
    qxwarn << "Missing X-Qel-Resource-Version in REST response headers."
           << " Hardcoding version 1.\n";
    return 1;
  }
  unsigned int version = 0;
  if (!identifier::ParseVersionNumber(header->second, version)) {
    qxwarn << "Failed to convert X-Qel-Resource-Version header value ["
           << WithoutLineEnd(header->second) << "] to integer. Hardcoding version 1.\n";
    return 1;
  }
  return version;
}

// The first `limit` bytes of the file `name` of `directory` (one more tells
// it is longer).
std::string ReadStart(const Directory &directory, const std::string &name, std::size_t limit) {
  int fd = -1;
  if (OpenForReading(directory, name, fd) != 0) return "";
  std::string text(limit + 1, '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t got = ::read(fd, &text[done], text.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  text.resize(done);
  return text;
}

}  // namespace

// The archive file the body streams into, refusing to grow past the limit,
// and refusing any byte once the process abandoned its saves (an interrupt:
// the staging directory is gone, so the transfer stops rather than run to
// its end for nothing).
class ArchiveDownload::File : public BodySink {
 public:
  File(FileSystem &fileSystem, const Directory &directory, std::string name, std::uint64_t limit)
      : fileSystem_(fileSystem),
        directory_(directory),
        name_(std::move(name)),
        limit_(limit),
        interruptions_(Interruptions()) {}

  // Starts the file afresh (empty); false with Failure() set.
  bool Restart() override {
    file_.reset();
    fileSystem_.RemoveAllAt(directory_, name_);
    size_ = 0;
    error_ = fileSystem_.CreateFileAt(directory_, name_, file_);
    return error_ == 0;
  }

  bool Write(const char *data, std::size_t size) override {
    if (Interruptions() != interruptions_) {
      interrupted_ = true;
      return false;
    }
    if (!file_ || size > limit_ - size_) {
      tooLarge_ = file_ != nullptr;
      return false;
    }
    error_ = file_->Append(data, size);
    if (error_ != 0) return false;
    size_ += size;
    return true;
  }

  // Closes the file; false with Failure() set.
  bool Close() {
    if (!file_) return error_ == 0 && !tooLarge_ && !interrupted_;
    const int closed = file_->Close();
    file_.reset();
    if (error_ == 0) error_ = closed;
    return error_ == 0 && !tooLarge_ && !interrupted_;
  }

  bool Failed() const { return error_ != 0 || tooLarge_ || interrupted_; }

  // Logs why the file failed (and notes it); `from` is where the body came
  // from.
  void ReportFailure(const std::string &from) const {
    if (interrupted_) {
      // The reason is the interrupt, which the outcome tells by itself.
      qxerr << "The download from [" << from << "] was interrupted\n";
      return;
    }
    if (tooLarge_) {
      const std::string limit =
          "the limit of " + std::to_string(limit_) + " bytes (" + humanBytes(limit_) + ")";
      qxerr << "The archive from [" << from << "] is larger than " << limit << "\n";
      NoteArchiveFailure(directory_.Join(name_), "the archive is larger than " + limit);
      return;
    }
    qxerr << "Unable to write [" << directory_.Join(name_) << "]: " << ErrorText(error_) << "\n";
    NoteCacheFailure("write", directory_.Join(name_), ErrorText(error_));
  }

  std::uint64_t Size() const override { return size_; }

 private:
  FileSystem &fileSystem_;
  const Directory &directory_;
  std::string name_;
  std::uint64_t limit_;
  std::unique_ptr<WritableFile> file_;
  std::uint64_t size_ = 0;
  const std::uint64_t interruptions_;  // of the process when the file was made
  int error_ = 0;
  bool tooLarge_ = false;
  bool interrupted_ = false;
};

ArchiveDownload::ArchiveDownload(FileSystem &fileSystem, std::string root,
                                 std::string referralAgent, const UnpackLimits &limits)
    : fileSystem_(fileSystem),
      root_(std::move(root)),
      referralAgent_(std::move(referralAgent)),
      limits_(limits) {}

ArchiveDownload::~ArchiveDownload() {
  file_.reset();
  stage_.reset();
}

bool ArchiveDownload::ServerComplete(const ServerConfig &server, const DownloadTexts &texts) {
  if (server.Url().Valid() && !server.Version().empty()) return true;
  qxerr << texts.incomplete << "\n" << ServerForLog(server) << "\n";
  DownloadFailure failure;
  failure.reason = FailureReason::kOther;
  failure.server = server.Url().Str();
  failure.text = "the configuration of the server [" + failure.server +
                 "] is incomplete: it needs a URL and an API version";
  NoteFailure(failure);
  return false;
}

std::uint64_t ArchiveDownload::Bytes() const { return file_ ? file_->Size() : 0; }

bool ArchiveDownload::Run(const ArchiveRequest &request, const DownloadTexts &texts) {
  refusedByServer_ = false;
  if (!Request(request, texts)) return false;
  version_ = VersionFromHeaders(response_);
  if (!TakeBody(response_, kMaxReferralHops)) return false;
  if (file_->Size() == 0) {
    qxerr << "The server sent an empty archive for [" << request.uniqueName << "]\n";
    noteProtocolFailure(request.server, resource_, "an empty archive");
    return false;
  }
  return true;
}

bool ArchiveDownload::Request(const ArchiveRequest &request, const DownloadTexts &texts) {
  const ServerConfig &server = request.server;
  if (!ServerComplete(server, texts)) return false;
  const std::string route =
      routes::Archive(request.owner, texts.kind, request.name, request.version);
  server_ = server;
  resource_ = routes::Resource(request.owner, texts.kind, request.name);
  qxmsg << texts.downloading << request.uniqueName << "]\n";

  std::string error;
  stage_ = cache::StagingDirectory::Create(fileSystem_, root_, request.uniqueName, error);
  if (!stage_) {
    qxerr << error << "\n";
    NoteCacheError(error);
    return false;
  }
  archiveName_ = cache::ArchiveFileName(request.name);
  file_ = std::make_unique<File>(fileSystem_, stage_->Stage(), archiveName_, limits_.maxBytes);
  if (!file_->Restart()) {
    file_->ReportFailure(server.Url().Str());
    return false;
  }
  ExchangeFailure exchange;
  response_ = RequestToSink("", server.Url().Str(), server.Version(), route, {"link=true"},
                            WithRevalidation(route, HeadersWithApiKey(server, request.headers)),
                            *file_, &exchange);
  if (!file_->Close()) {
    file_->ReportFailure(server.Url().Str() + "/" + server.Version() + "/" + route);
    return false;
  }
  if (response_.statusCode != 200) {
    // The server's answer (or the lack of one), not ours, failed the download.
    refusedByServer_ = true;
    response_.data = ReadStart(stage_->Stage(), archiveName_, ServerReply::kTextLimit - 1);
    const std::string failed = std::string(texts.failed) + "\n" +
                               "  Server: " + server.Url().Str() + "\n" +
                               "  Route: " + route + "\n" +
                               "  REST response code: " + std::to_string(response_.statusCode) +
                               "\n";
    // A download its caller cancelled did not fail: nothing alarming.
    if (exchange.cancelled) {
      qxdbg << failed;
    } else {
      qxerr << failed;
    }
    NoteReply(ReplyOf(server, resource_, response_), exchange);
    return false;
  }
  return true;
}

bool ArchiveDownload::TakeBody(const RestResponse &response, int hopsLeft) {
  const auto type = response.headers.find("Content-Type");
  // Without a content type the body is the archive.
  if (type == response.headers.end()) return true;
  const std::string &contentType = type->second;
  if (contentType.find("text/plain") != std::string::npos) {
    const std::string body = ReadStart(stage_->Stage(), archiveName_, kMaxReferralBytes);
    const std::string link = TrimmedLink(body);
    if (body.size() > kMaxReferralBytes || !qx::common::URI::Valid(link)) {
      qxerr << "Invalid referral link URI [" << body.substr(0, 200) << "]. "
            << "Unable to download.\n";
      noteProtocolFailure(server_, resource_, "a referral link that is no URL");
      return false;
    }
    if (hopsLeft <= 0) {
      qxerr << "Too many referral links: giving up after " << kMaxReferralHops << " hops at ["
            << link << "]. Unable to download.\n";
      noteProtocolFailure(server_, resource_,
                          "more than " + std::to_string(kMaxReferralHops) + " referral links");
      return false;
    }
    qxdbg << "Downloading from a referral link [" << link << "]\n";
    if (!file_->Restart()) {
      file_->ReportFailure(link);
      return false;
    }
    // What the link leads to is the archive, whatever its status says.
    ExchangeFailure exchange;
    const RestResponse referred =
        RequestToSink(referralAgent_, link, "", "", {}, {}, *file_, &exchange);
    if (!file_->Close()) {
      file_->ReportFailure(link);
      return false;
    }
    if (referred.statusCode == 0 && !exchange.text.empty()) {
      ServerReply reply;
      reply.server = link;
      reply.resource = resource_;
      NoteReply(reply, exchange);
    }
    return TakeBody(referred, hopsLeft - 1);
  }
  if (contentType.find("application/zip") != std::string::npos ||
      contentType.find("binary/octet-stream") != std::string::npos)
    return true;
  qxerr << "Invalid content-type of [" << WithoutLineEnd(contentType) << "]. "
        << "Unable to download.\n";
  noteProtocolFailure(server_, resource_,
                      "the content type [" + WithoutLineEnd(contentType) + "], not an archive");
  return false;
}

void ArchiveDownload::NoteReply(const ServerReply &reply, const ExchangeFailure &exchange) {
  DownloadFailure failure = ReplyFailure(reply, exchange.text);
  if (exchange.cancelled) failure.reason = FailureReason::kInterrupted;
  NoteFailure(failure);
}

}  // namespace qx::quarn_tools::internal
