// The pages' requests below HTTP: one request of the /api/ tree with its JSON
// body, answered with a status and a JSON body. The HTTP server (web_interface.h)
// has checked the Host header and the token before a request gets here.
//
// Shared by the files of the user interface only.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "ui/web_notifier.h"

namespace km {

struct ApiRequest {
  std::string method;                       // "GET" or "POST"
  std::string path;                         // after "/api/", such as "options/port"
  std::map<std::string, std::string> query; // the query parameters
  nlohmann::json body;                      // null for a GET
};

struct ApiReply {
  int status = 200;
  nlohmann::json body = nlohmann::json::object();
};

// Answers one request; nothing when no route has that method and path. May
// throw nlohmann::json's exceptions for bodies of the wrong shape; the server
// answers those as malformed.
std::optional<ApiReply> routeApiRequest(const ApiRequest& request, WebNotifier& notifier);

} // namespace km
