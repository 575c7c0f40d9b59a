#include "Failure.hh"

#include <cctype>
#include <sstream>

#include <qx/quarn_tools/CommandText.hh>

#include "JsonOutput.hh"

namespace qx::quarn_cli {

namespace {

constexpr std::size_t kLongestErrorText = 200;

std::string jsonMessage(const std::string &body) {
  Json::Value value;
  if (!parseJsonObject(body, value)) return "";
  for (const char *member : {"message", "error", "errmsg"}) {
    if (value[member].isString()) return value[member].asString();
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

// "alice/models/box" as people say it: "model alice/box".
std::string resourceWords(const std::string &route) {
  for (const char *kind : {"models", "worlds"}) {
    const std::string middle = std::string("/") + kind + "/";
    const auto at = route.find(middle);
    if (at != std::string::npos && route.find('/', at + middle.size()) == std::string::npos) {
      return std::string(kind, std::char_traits<char>::length(kind) - 1) + " " +
             route.substr(0, at) + "/" + route.substr(at + middle.size());
    }
  }
  return route;
}

std::string reason(const qx::quarn_tools::ServerReply &reply) {
  std::ostringstream out;
  const std::string resource = resourceWords(reply.resource);
  switch (reply.status) {
    case 0:
      out << "no answer from " << reply.server;
      break;
    case 401:
    case 403:
      out << reply.server << " refused access to " << resource << " (" << reply.status
          << "). Supply a token for " << reply.server << ": run \"quarn login " << reply.server
          << "\", or set QX_QUARN_TOKEN for one command";
      break;
    case 404:
      out << resource << " was not found on " << reply.server << " (404)";
      break;
    case 200:
      // A listing page that held no listing.
      out << reply.server << " answered " << resource << " with something that is not a listing";
      break;
    default:
      out << reply.server << " answered " << reply.status << " for " << resource;
      break;
  }
  const std::string text = serverErrorText(reply.text);
  if (!text.empty()) out << ": " << text;
  return out.str();
}

}  // namespace

std::string serverErrorText(const std::string &body) {
  std::string text = jsonMessage(body);
  if (text.empty() && body.find_first_of("<{[") != body.find_first_not_of(" \t\r\n"))
    text = firstLine(body);
  text = firstLine(text);
  if (text.size() > kLongestErrorText) text = text.substr(0, kLongestErrorText) + "...";
  return qx::quarn_tools::printableText(text);
}

std::string failureText(const qx::quarn_tools::Result &result, const std::string &what) {
  const qx::quarn_tools::ServerReply *reply = result.Reply();
  if (reply == nullptr) return what + " failed: " + result.ReadableResult();
  return what + " failed: " + reason(*reply);
}

}  // namespace qx::quarn_cli
