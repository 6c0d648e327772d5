#include "ui/web_interface.h"

#include <httplib.h>

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "config/data_dir.h"
#include "diag/error_report.h"
#include "net/socket_errors.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/random.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/threads.h"
#include "ui/web_api.h"
#include "ui/web_pages.h"

namespace km {

namespace {

constexpr const char* kLoopback = "127.0.0.1";
constexpr const char* kAddressFile = "web_interface.txt";
constexpr const char* kTokenCookie = "kestrel_token";
constexpr const char* kTokenHeader = "X-Kestrel-Token";
constexpr const char* kTokenPlaceholder = "{{TOKEN}}";
// The largest request body: a list file edited in the page fits with room.
constexpr size_t kLargestBody = 1024 * 1024;
// A handful of threads: the pages poll once a second, and a request that waits
// for the user's answer (an exit or an addition) holds one of them meanwhile.
constexpr size_t kServerThreads = 4;
constexpr size_t kTokenBytes = 24;

using nlohmann::json;

// Compares without stopping at the first difference, so the time taken says
// nothing about how much of a guess was right.
bool sameSecret(std::string_view given, std::string_view secret) {
  if (given.size() != secret.size()) {
    return false;
  }
  unsigned char difference = 0;
  for (size_t i = 0; i < secret.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
  }
  return difference == 0;
}

std::string cookieValue(const httplib::Request& request, std::string_view name) {
  std::string cookies = request.get_header_value("Cookie");
  size_t start = 0;
  while (start < cookies.size()) {
    size_t end = cookies.find(';', start);
    end = end == std::string::npos ? cookies.size() : end;
    std::string_view pair(cookies.data() + start, end - start);
    while (!pair.empty() && pair.front() == ' ') {
      pair.remove_prefix(1);
    }
    if (pair.size() > name.size() && pair.substr(0, name.size()) == name &&
        pair[name.size()] == '=') {
      return std::string(pair.substr(name.size() + 1));
    }
    start = end + 1;
  }
  return "";
}

void sendJson(httplib::Response& response, int status, const json& body) {
  response.status = status;
  response.set_header("Cache-Control", "no-store");
  response.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace),
                       "application/json");
}

void refuse(httplib::Response& response, int status, const std::string& message) {
  sendJson(response, status, json{{"error", message}});
}

class WebServer {
public:
  WebServer(std::string token, std::shared_ptr<WebNotifier> notifier)
      : token_(std::move(token)), notifier_(std::move(notifier)) {
    // The library makes its queue once its accept loop runs, and only from then on
    // does its stop() take effect: run() waits for this moment.
    server_.new_task_queue = [this] {
      listening_.set();
      return new httplib::ThreadPool(kServerThreads);
    };
    server_.set_payload_max_length(kLargestBody);
    server_.set_socket_options([](SocketHandle sock) { makeAddressReusable(sock); });
    server_.set_keep_alive_max_count(100);
    // An idle connection is let go soon: the pages ask anew every second, and a
    // stop waits for the connections the server is holding.
    server_.set_keep_alive_timeout(2);
    server_.set_read_timeout(10, 0);
    server_.set_write_timeout(10, 0);
    // Refusals of the server itself (such as a body over the limit) say why too.
    server_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
      if (response.body.empty()) {
        refuse(response, response.status,
               response.status == 413
                   ? "the request body is too large"
                   : "the request was refused (" + std::to_string(response.status) + ")");
      }
    });
    server_.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
          return admit(request, response) ? httplib::Server::HandlerResponse::Unhandled
                                          : httplib::Server::HandlerResponse::Handled;
        });
    auto handle = [this](const httplib::Request& request, httplib::Response& response) {
      serve(request, response);
    };
    server_.Get(".*", handle);
    server_.Post(".*", handle);
    auto notAllowed = [](const httplib::Request&, httplib::Response& response) {
      refuse(response, 405, "only GET and POST are served");
    };
    server_.Put(".*", notAllowed);
    server_.Patch(".*", notAllowed);
    server_.Delete(".*", notAllowed);
    server_.Options(".*", notAllowed);
  }

  ~WebServer() { stop(); }
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds to the port, or to any free port when that fails (with the reason).
  bool bind(int wanted, std::string& trouble) {
    if (server_.bind_to_port(kLoopback, wanted)) {
      port_ = wanted;
      return true;
    }
    int error = lastSocketError();
    int other = server_.bind_to_any_port(kLoopback);
    if (other <= 0) {
      trouble = formatText(languageText(kTextWebNotServed), {socketErrorText(lastSocketError())});
      return false;
    }
    port_ = other;
    trouble = formatText(languageText(kTextWebPortTaken), {wanted, socketErrorText(error), other});
    return true;
  }

  // Serves on a thread of its own; returns once the accept loop runs (or gave up).
  // A stop() before then would be lost, and the join in it would wait forever.
  bool run() {
    if (!thread_.start([this] {
          server_.listen_after_bind();
          listening_.set();
        })) {
      return false;
    }
    listening_.wait();
    return true;
  }

  void stop() {
    notifier_->closeQuestions();
    server_.stop();
    thread_.join();
  }

  int port() const { return port_; }
  std::string address() const {
    return "http://" + std::string(kLoopback) + ":" + std::to_string(port_) + "/?token=" + token_;
  }

private:
  // The Host header must name this server as a browser on this machine names it.
  bool hostAccepted(const httplib::Request& request) const {
    std::string host = request.get_header_value("Host");
    std::string port = ":" + std::to_string(port_);
    return equalsIgnoreCase(host, kLoopback + port) || equalsIgnoreCase(host, "localhost" + port);
  }

  // A change must come from the pages themselves: a browser names the page's
  // origin on every POST, and nothing but the pages can send the token header.
  bool originAccepted(const httplib::Request& request) const {
    if (!request.has_header("Origin")) {
      return true;
    }
    std::string origin = request.get_header_value("Origin");
    std::string port = ":" + std::to_string(port_);
    return equalsIgnoreCase(origin, "http://" + std::string(kLoopback) + port) ||
           equalsIgnoreCase(origin, "http://localhost" + port);
  }

  bool admit(const httplib::Request& request, httplib::Response& response) const {
    if (!hostAccepted(request)) {
      refuse(response, 403, "this server answers only to 127.0.0.1 and localhost");
      return false;
    }
    if (request.method == "POST" && !originAccepted(request)) {
      refuse(response, 403, "requests from other sites are refused");
      return false;
    }
    return true;
  }

  void serve(const httplib::Request& request, httplib::Response& response) {
    response.set_header("X-Frame-Options", "DENY");
    response.set_header("Referrer-Policy", "no-referrer");
    if (request.path.starts_with("/api/")) {
      serveApi(request, response);
      return;
    }
    if (request.method != "GET") {
      refuse(response, 405, "only the pages' requests change anything");
      return;
    }
    servePage(request, response);
  }

  void servePage(const httplib::Request& request, httplib::Response& response) {
    const WebPage* page = findWebPage(request.path);
    if (!page) {
      response.status = 404;
      response.set_content("Not found\n", "text/plain");
      return;
    }
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; style-src 'self' 'unsafe-inline'; "
                        "frame-ancestors 'none'; form-action 'self'");
    if (request.path != "/") {
      response.set_content(page->body.data(), page->body.size(), std::string(page->contentType));
      return;
    }
    // The start-up address hands over the token once; the browser keeps it in a
    // cookie only this server gets, and the address bar loses it.
    std::string given = request.get_param_value("token");
    if (!given.empty()) {
      if (!sameSecret(given, token_)) {
        response.status = 401;
        response.set_content(unauthorisedText(), "text/plain; charset=utf-8");
        return;
      }
      response.set_header("Set-Cookie", std::string(kTokenCookie) + "=" + token_ +
                                            "; HttpOnly; SameSite=Strict; Path=/");
      response.set_redirect("/", 303);
      return;
    }
    if (!sameSecret(cookieValue(request, kTokenCookie), token_)) {
      response.status = 401;
      response.set_content(unauthorisedText(), "text/plain; charset=utf-8");
      return;
    }
    std::string body(page->body);
    size_t at = body.find(kTokenPlaceholder);
    if (at != std::string::npos) {
      body.replace(at, std::string_view(kTokenPlaceholder).size(), token_);
    }
    response.set_header("Cache-Control", "no-store");
    response.set_content(body, std::string(page->contentType));
  }

  std::string unauthorisedText() const {
    return "Open the address Kestrelmail printed at start-up; it is also in " +
           dataPath(kAddressFile) + "\n";
  }

  void serveApi(const httplib::Request& request, httplib::Response& response) {
    if (!sameSecret(request.get_header_value(kTokenHeader), token_)) {
      refuse(response, 401, "the request lacks this run's token");
      return;
    }
    ApiRequest api;
    api.method = request.method;
    api.path = request.path.substr(5);
    for (const auto& [name, value] : request.params) {
      api.query[name] = value;
    }
    if (request.method == "POST") {
      std::string type = request.get_header_value("Content-Type");
      if (!type.starts_with("application/json")) {
        refuse(response, 415, "the body must be JSON (Content-Type: application/json)");
        return;
      }
      api.body = json::parse(request.body, nullptr, false);
      if (api.body.is_discarded() || !api.body.is_object()) {
        refuse(response, 400, "the body is not a JSON object");
        return;
      }
    }
    try {
      std::optional<ApiReply> answered = routeApiRequest(api, *notifier_);
      if (!answered) {
        refuse(response, 404, "no such request");
        return;
      }
      sendJson(response, answered->status, answered->body);
    } catch (const json::exception& error) {
      refuse(response, 400, std::string("malformed request: ") + error.what());
    } catch (const std::exception& error) {
      refuse(response, 500, error.what());
    }
  }

  httplib::Server server_;
  Event listening_{Event::Reset::Manual};
  JoinableThread thread_;
  std::string token_;
  std::shared_ptr<WebNotifier> notifier_;
  int port_ = 0;
};

struct Running {
  std::mutex lock;
  std::unique_ptr<WebServer> server;
  std::shared_ptr<Notifier> previousNotifier;
};

Running& running() {
  static Running instance;
  return instance;
}

// The address goes to a file only the user can read: it holds the token.
bool writeAddressFile(const std::string& address) {
  std::string path = dataPath(kAddressFile);
  std::string temporary;
  UniqueFd fd = createUniqueFile(dataPath(""), ".web_interface", temporary);
  File file = fd.valid() ? streamOverDescriptor(fd, "wb") : nullptr;
  if (!file) {
    return false;
  }
  std::string line = address + "\n";
  bool written = std::fwrite(line.data(), 1, line.size(), file.get()) == line.size();
  written = closeFile(file) && written;
  if (!written || !renameFile(temporary, path)) {
    removeFile(temporary);
    return false;
  }
  return true;
}

} // namespace

WebInterfaceStart startWebInterface(int port) {
  WebInterfaceStart start;
  if (port <= 0) {
    return start;
  }
  std::optional<std::string> token = randomHexToken(kTokenBytes);
  if (!token) {
    start.trouble = formatText(languageText(kTextWebNotServed), {errorText(lastErrorNumber())});
    return start;
  }
  auto notifier = std::make_shared<WebNotifier>();
  auto server = std::make_unique<WebServer>(*token, notifier);
  if (!server->bind(port, start.trouble)) {
    return start;
  }
  if (!server->run()) {
    start.trouble = formatText(languageText(kTextWebNotServed), {errorText(lastErrorNumber())});
    return start;
  }
  start.serving = true;
  start.port = server->port();
  start.address = server->address();
  if (!writeAddressFile(start.address)) {
    reportSystemError(dataPath(kAddressFile), nullptr);
  }
  std::lock_guard guard(running().lock);
  running().server = std::move(server);
  running().previousNotifier = setNotifier(notifier);
  return start;
}

void stopWebInterface() {
  std::unique_ptr<WebServer> server;
  {
    std::lock_guard guard(running().lock);
    server = std::move(running().server);
    if (running().previousNotifier) {
      setNotifier(std::move(running().previousNotifier));
    }
  }
  if (server) {
    server->stop();
    removeFile(dataPath(kAddressFile));
  }
}

std::string webInterfaceAddress() {
  std::lock_guard guard(running().lock);
  return running().server ? running().server->address() : std::string();
}

} // namespace km
