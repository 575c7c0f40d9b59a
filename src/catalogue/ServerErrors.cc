#include "ServerErrors.hh"

#include <json/json.h>

#include <cctype>
#include <memory>

#include "qx/quarn_tools/CommandText.hh"

namespace qx::quarn_tools::internal {
namespace {

constexpr std::size_t kLongestErrorText = 200;

std::string jsonMessage(const std::string &body) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    if (!reader->parse(body.data(), body.data() + body.size(), &value, &errors) ||
        !value.isObject())
      return "";
    for (const char *member : {"message", "error", "errmsg"}) {
      if (value[member].isString()) return value[member].asString();
    }
  } catch (const std::exception &) {
    // A document too deep or otherwise unreadable says nothing.
  }
  return "";
}

std::string firstLine(const std::string &text) {
  const auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  std::string line = text.substr(begin, text.find_first_of("\r\n", begin) - begin);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

std::string reasonText(const DownloadFailure &failure) {
  const std::string &server = failure.server;
  const std::string &resource = failure.resource;
  std::string text;
  switch (failure.status) {
    case 0:
      text = "no answer from " + server;
      if (!failure.detail.empty()) text += " (" + failure.detail + ")";
      break;
    case 401:
    case 403:
      text =
          server + " refused access to " + resource + " (" + std::to_string(failure.status) + ")";
      break;
    case 404:
      text = resource + " was not found on " + server + " (404)";
      break;
    case 200:
      // A listing page that held no listing.
      text = server + " answered " + resource + " with something that is not a listing";
      break;
    default:
      text = server + " answered " + std::to_string(failure.status) + " for " + resource;
      break;
  }
  if (!failure.serverText.empty()) text += ": " + failure.serverText;
  return text;
}

}  // namespace

std::string ServerErrorText(const std::string &body) {
  std::string text = jsonMessage(body);
  if (text.empty() && body.find_first_of("<{[") != body.find_first_not_of(" \t\r\n"))
    text = firstLine(body);
  text = firstLine(text);
  if (text.size() > kLongestErrorText) text = text.substr(0, kLongestErrorText) + "...";
  return printableText(text);
}

std::string ResourceWords(const std::string &route) {
  for (const std::string kind : {"models", "worlds"}) {
    const std::string middle = "/" + kind + "/";
    const auto at = route.find(middle);
    if (at != std::string::npos && route.find('/', at + middle.size()) == std::string::npos)
      return kind.substr(0, kind.size() - 1) + " " + route.substr(0, at) + "/" +
             route.substr(at + middle.size());
  }
  return route;
}

DownloadFailure ReplyFailure(const ServerReply &reply, const std::string &transportText) {
  DownloadFailure failure;
  switch (reply.status) {
    case 0:
      failure.reason = FailureReason::kNetwork;
      break;
    case 401:
    case 403:
      failure.reason = FailureReason::kUnauthorized;
      break;
    case 404:
      failure.reason = FailureReason::kNotFound;
      break;
    default:
      failure.reason = FailureReason::kServer;
      break;
  }
  failure.server = reply.server;
  failure.resource = ResourceWords(reply.resource);
  failure.status = reply.status;
  failure.serverText = ServerErrorText(reply.text);
  failure.detail = transportText;
  failure.text = reasonText(failure);
  return failure;
}

}  // namespace qx::quarn_tools::internal
