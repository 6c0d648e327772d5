#include "ui/web_api.h"

#include <functional>

#include "config/config.h"
#include "config/config_lines.h"
#include "config/data_dir.h"
#include "filter/dnsbl_statistics.h"
#include "net/listeners.h"
#include "net/session_rows.h"
#include "platform/lang.h"
#include "platform/text.h"
#include "platform/text_ids.h"
#include "platform/version.h"
#include "ui/add_to_list.h"
#include "ui/options.h"
#include "ui/plugin_pages.h"
#include "ui/shell.h"
#include "ui/statistics_model.h"
#include "ui/welcome.h"

namespace km {

namespace {

using nlohmann::json;

constexpr const char* kAboutDate = "(14-Dec-2003)";

ApiReply reply(int status, json body) {
  return ApiReply{status, std::move(body)};
}

ApiReply failure(int status, const std::string& message) {
  return reply(status, json{{"error", message}});
}

const char* iconWord(NoticeIcon icon) {
  switch (icon) {
  case NoticeIcon::Information:
    return "information";
  case NoticeIcon::Exclamation:
    return "exclamation";
  case NoticeIcon::Stop:
    return "stop";
  case NoticeIcon::Question:
    return "question";
  }
  return "information";
}

const char* buttonsWord(NoticeButtons buttons) {
  switch (buttons) {
  case NoticeButtons::Ok:
    return "ok";
  case NoticeButtons::OkCancel:
    return "ok-cancel";
  case NoticeButtons::YesNo:
    return "yes-no";
  case NoticeButtons::YesNoCancel:
    return "yes-no-cancel";
  }
  return "ok";
}

std::optional<NoticeAnswer> answerFromWord(const std::string& word) {
  if (word == "ok")
    return NoticeAnswer::Ok;
  if (word == "cancel")
    return NoticeAnswer::Cancel;
  if (word == "yes")
    return NoticeAnswer::Yes;
  if (word == "no")
    return NoticeAnswer::No;
  return std::nullopt;
}

json noticeJson(uint64_t id, const Notice& notice) {
  return json{{"id", id},
              {"title", notice.title},
              {"text", notice.text},
              {"icon", iconWord(notice.icon)},
              {"buttons", buttonsWord(notice.buttons)},
              {"choices", notice.choices},
              {"checkBoxText", notice.checkBoxText}};
}

json listenersJson() {
  json listeners = json::array();
  ConfigRef config = AcquireConfig();
  if (!config) {
    return listeners;
  }
  for (const ListenerInfo& listener : listListeners()) {
    if (listener.retired) {
      continue;
    }
    for (uint32_t id : listener.portConfigIds) {
      for (const PortConfig& port : config->ports) {
        if (port.id == id) {
          listeners.push_back({{"address", ipToString(listener.bindAddress)},
                               {"port", listener.port},
                               {"type", portTypeWord(port.type)},
                               {"server", port.serverName},
                               {"sessions", listener.sessionCount}});
        }
      }
    }
  }
  return listeners;
}

ApiReply status(const ApiRequest& request, WebNotifier& notifier) {
  notifier.notePageSeen();
  uint64_t after = 0;
  if (auto found = request.query.find("notices_after"); found != request.query.end()) {
    after = static_cast<uint64_t>(readConfigLong(found->second));
  }
  ShellState shell = shellState();
  json body;
  body["version"] = kProgramVersion;
  body["filteringDisabled"] = shell.filteringDisabled;
  body["busy"] = shell.busyCount > 0;
  body["busyCount"] = shell.busyCount;
  body["iconId"] = shell.iconId;
  body["updateCheckRunning"] = shell.updateCheckRunning;

  json sessions = json::array();
  for (const SessionRow& row : sessionRows()) {
    if (row.inUse) {
      sessions.push_back(row.columns);
    }
  }
  body["sessions"] = std::move(sessions);
  body["listeners"] = listenersJson();

  json dnsbl = json::array();
  for (const DnsblStatisticsRow& row : dnsblStatisticsRows()) {
    dnsbl.push_back({{"name", row.name},
                     {"queries", row.counts.queries},
                     {"listed", row.counts.listed},
                     {"notListed", row.counts.notListed},
                     {"totalMs", row.counts.totalMs},
                     {"cells", row.cells}});
  }
  body["dnsbl"] = std::move(dnsbl);

  StatisticsModel statistics = statisticsModel();
  json days = json::array();
  auto dayJson = [](const StatisticsDay& day) {
    return json{{"date", day.date},
                {"filtered", day.filtered},
                {"spam", day.spam},
                {"passed", day.passed},
                {"whitelisted", day.whitelisted}};
  };
  for (const StatisticsDay& day : statistics.days) {
    days.push_back(dayJson(day));
  }
  body["days"] = std::move(days);
  body["daysTotal"] = dayJson(statistics.total);

  json notices = json::array();
  for (const ShownNotice& shown : notifier.noticesAfter(after)) {
    notices.push_back(noticeJson(shown.id, shown.notice));
  }
  body["notices"] = std::move(notices);
  json questions = json::array();
  for (const OpenQuestion& open : notifier.openQuestions()) {
    questions.push_back(noticeJson(open.id, open.notice));
  }
  body["questions"] = std::move(questions);
  body["welcomeOpen"] = welcomeState().open;
  return reply(200, std::move(body));
}

ApiReply answer(const ApiRequest& request, WebNotifier& notifier) {
  std::optional<NoticeAnswer> given = answerFromWord(request.body.at("answer").get<std::string>());
  if (!given) {
    return failure(400, "unknown answer");
  }
  NoticeReply answered;
  answered.answer = *given;
  answered.checked = request.body.value("checked", false);
  answered.choice = request.body.value("choice", size_t{0});
  if (!notifier.answer(request.body.at("id").get<uint64_t>(), answered)) {
    return failure(409, "that question is no longer open");
  }
  return reply(200, json{{"answered", true}});
}

ApiReply command(const ApiRequest& request) {
  std::string name = request.body.at("command").get<std::string>();
  int id = name == "exit"                ? kCommandExit
           : name == "enable-filtering"  ? kCommandEnableFiltering
           : name == "disable-filtering" ? kCommandDisableFiltering
           : name == "check-updates"     ? kCommandCheckForUpdates
                                         : 0;
  if (id == 0) {
    return failure(400, "unknown command");
  }
  bool taken = runShellCommand(id);
  if (!taken && id != kCommandExit) {
    return failure(501, "this command is not available");
  }
  json body{{"done", taken}};
  if (id == kCommandExit) {
    body["exiting"] = taken;
  }
  body["filteringDisabled"] = shellState().filteringDisabled;
  return reply(200, std::move(body));
}

ApiReply about() {
  return reply(200, json{{"version", kProgramVersion},
                         {"date", kAboutDate},
                         {"text", formatText(languageText(kTextAboutVersion), {kProgramVersion})},
                         {"webAddress", languageText(kTextAboutWebAddress)}});
}

std::optional<ListMode> modeFromWord(const std::string& word) {
  if (word == "white")
    return ListMode::White;
  if (word == "black")
    return ListMode::Black;
  return std::nullopt;
}

const char* addResultWord(AddResult result) {
  switch (result) {
  case AddResult::Added:
    return "added";
  case AddResult::AlreadyCovered:
    return "already-covered";
  case AddResult::Cancelled:
    return "cancelled";
  case AddResult::Empty:
    return "empty";
  case AddResult::NotAnEntry:
    return "not-an-entry";
  case AddResult::ListsChanged:
    return "lists-changed";
  case AddResult::Busy:
    return "busy";
  case AddResult::Failed:
    return "failed";
  }
  return "failed";
}

int addResultStatus(AddResult result) {
  switch (result) {
  case AddResult::NotAnEntry:
  case AddResult::Empty:
    return 422;
  case AddResult::ListsChanged:
  case AddResult::Busy:
    return 409;
  case AddResult::Failed:
    return 500;
  default:
    return 200;
  }
}

ApiReply addChoices(const ApiRequest& request) {
  auto mode = request.query.find("mode");
  std::optional<ListMode> listMode =
      mode == request.query.end() ? std::nullopt : modeFromWord(mode->second);
  if (!listMode) {
    return failure(400, "mode must be white or black");
  }
  return reply(200, json{{"choices", addToListChoices(*listMode)}});
}

ApiReply addEntry(const ApiRequest& request) {
  std::optional<ListMode> mode = modeFromWord(request.body.at("mode").get<std::string>());
  if (!mode) {
    return failure(400, "mode must be white or black");
  }
  AddOutcome added = addToList(*mode, request.body.at("entry").get<std::string>(),
                               [](const Notice& notice) { return notify(notice); });
  if (added.result == AddResult::Added) {
    reloadIfConfigChanged();
  }
  return reply(addResultStatus(added.result), json{{"result", addResultWord(added.result)},
                                                   {"file", added.file},
                                                   {"entry", added.entry},
                                                   {"message", added.message}});
}

const char* kindWord(SettingKind kind) {
  switch (kind) {
  case SettingKind::Flag:
    return "flag";
  case SettingKind::Number:
    return "number";
  case SettingKind::Text:
    return "text";
  case SettingKind::Choice:
    return "choice";
  }
  return "text";
}

json portKeysJson(const PortKeyValues& keys) {
  json pairs = json::array();
  for (const auto& [key, value] : keys) {
    pairs.push_back(json::array({key, value}));
  }
  return pairs;
}

PortKeyValues portKeysFromJson(const json& pairs) {
  PortKeyValues keys;
  for (const json& pair : pairs) {
    keys.emplace_back(pair.at(0).get<std::string>(), pair.at(1).get<std::string>());
  }
  return keys;
}

ApiReply options() {
  ConfigRef config = AcquireConfig();
  if (!config) {
    return failure(503, "the configuration is not loaded");
  }
  json body;
  body["revision"] = configRevision(*config);
  json settings = json::array();
  for (const SettingInfo& info : settingInfos()) {
    settings.push_back({{"name", info.name},
                        {"section", info.section},
                        {"kind", kindWord(info.kind)},
                        {"lowest", info.lowest},
                        {"highest", info.highest},
                        {"choices", info.choices},
                        {"value", settingValue(*config, info.name).value_or("")}});
  }
  body["settings"] = std::move(settings);

  json ports = json::array();
  for (const PortConfig& port : config->ports) {
    ports.push_back({{"id", port.id},
                     {"listenPort", port.listenPort},
                     {"type", portTypeWord(port.type)},
                     {"serverName", port.serverName},
                     {"keys", portKeysJson(portKeyValues(port))}});
  }
  body["ports"] = std::move(ports);
  json templates = json::object();
  for (PortType type : {PortType::Pop3Generic, PortType::Pop3Specific, PortType::Imap4Generic,
                        PortType::Imap4Specific, PortType::SmtpSpecific}) {
    PortConfig fresh;
    fresh.type = type;
    templates[portTypeWord(type)] = portKeysJson(portKeyValues(fresh));
  }
  body["portTemplates"] = std::move(templates);

  json lists = json::array();
  for (const DnsblList& list : config->dnsblLists) {
    lists.push_back({{"key", list.key},
                     {"name", list.name},
                     {"zone", list.zone},
                     {"description", list.description},
                     {"inSafe", list.inSafe},
                     {"inMedium", list.inMedium},
                     {"inAggressive", list.inAggressive},
                     {"country", list.type == DnsblType::Country}});
  }
  json enabled = json::array();
  for (int index : config->enabledDnsbl) {
    enabled.push_back(config->dnsblLists[static_cast<size_t>(index)].key);
  }
  body["dnsbl"] = {{"lists", std::move(lists)}, {"enabled", std::move(enabled)}};
  body["listFiles"] = editableListFiles();
  json plugins = json::array();
  for (const PluginInfo& plugin : pluginInfos(*config)) {
    plugins.push_back({{"name", plugin.name},
                       {"displayName", plugin.displayName},
                       {"version", plugin.version},
                       {"enabled", plugin.enabled},
                       {"failed", plugin.failed}});
  }
  body["plugins"] = std::move(plugins);
  return reply(200, std::move(body));
}

ApiReply changeReply(const ChangeOutcome& outcome, json extra = json::object()) {
  static const int kStatus[] = {200, 409, 422, 500};
  extra["message"] = outcome.message;
  extra["done"] = outcome.status == ChangeStatus::Done;
  extra["revision"] = currentConfigRevision();
  return reply(kStatus[static_cast<int>(outcome.status)], std::move(extra));
}

ApiReply postSettings(const ApiRequest& request) {
  std::vector<std::pair<std::string, std::string>> values;
  for (const auto& [name, value] : request.body.at("values").items()) {
    values.emplace_back(name, value.get<std::string>());
  }
  return changeReply(changeSettings(request.body.at("revision").get<std::string>(), values));
}

ApiReply postPort(const ApiRequest& request) {
  const json& body = request.body;
  PortChange change;
  std::string action = body.at("action").get<std::string>();
  if (action == "add") {
    change.action = PortChange::Action::Add;
  } else if (action == "edit") {
    change.action = PortChange::Action::Edit;
  } else if (action == "remove") {
    change.action = PortChange::Action::Remove;
  } else {
    return failure(400, "action must be add, edit or remove");
  }
  change.id = body.value("id", uint32_t{0});
  if (change.action != PortChange::Action::Remove) {
    std::optional<PortType> type = portTypeFromWord(body.at("type").get<std::string>());
    if (!type) {
      return failure(422, "unknown port type");
    }
    change.type = *type;
    const json& listenPort = body.at("listenPort");
    change.listenPort =
        listenPort.is_number_integer()
            ? static_cast<int32_t>(std::clamp<int64_t>(listenPort.get<int64_t>(), -1, 65536))
            : -1;
    change.keys = portKeysFromJson(body.value("keys", json::array()));
    if (body.contains("serverName")) {
      change.keys.emplace_back("PORT_SERVERNAME", body.at("serverName").get<std::string>());
    }
  }
  uint32_t madeId = 0;
  ChangeOutcome outcome = changePort(body.at("revision").get<std::string>(), change, &madeId);
  json extra = json::object();
  if (change.action == PortChange::Action::Add && outcome.status == ChangeStatus::Done) {
    extra["id"] = madeId;
  }
  return changeReply(outcome, std::move(extra));
}

ApiReply postDnsbl(const ApiRequest& request) {
  const json& body = request.body;
  std::string revision = body.at("revision").get<std::string>();
  if (body.contains("scheme")) {
    std::string word = body.at("scheme").get<std::string>();
    std::optional<DnsblScheme> scheme = word == "safe"     ? std::optional(DnsblScheme::Safe)
                                        : word == "medium" ? std::optional(DnsblScheme::Medium)
                                        : word == "aggressive"
                                            ? std::optional(DnsblScheme::Aggressive)
                                            : std::nullopt;
    if (!scheme) {
      return failure(422, "unknown scheme");
    }
    std::vector<std::string> keys;
    if (ConfigRef config = AcquireConfig()) {
      Config trial = *config;
      chooseDnsblScheme(trial, *scheme);
      for (int index : trial.enabledDnsbl) {
        keys.push_back(trial.dnsblLists[static_cast<size_t>(index)].key);
      }
    }
    return changeReply(changeEnabledDnsbl(revision, keys));
  }
  return changeReply(
      changeEnabledDnsbl(revision, body.at("enabled").get<std::vector<std::string>>()));
}

ApiReply postPlugins(const ApiRequest& request) {
  return changeReply(
      changeEnabledPlugins(request.body.at("revision").get<std::string>(),
                           request.body.at("enabled").get<std::vector<std::string>>()));
}

ApiReply listPluginPages() {
  json pages = json::array();
  if (ConfigRef config = AcquireConfig()) {
    for (const PluginPage& page : pluginPages(*config)) {
      pages.push_back(
          {{"position", page.position}, {"name", page.name}, {"displayName", page.displayName}});
    }
  }
  return reply(200, json{{"pages", std::move(pages)}});
}

ApiReply getPluginPage(const std::string& position) {
  ConfigRef config = AcquireConfig();
  size_t at = static_cast<size_t>(readConfigLong(position));
  std::optional<std::string> html =
      config && !position.empty() ? renderPluginPage(*config, at) : std::nullopt;
  if (!html) {
    return failure(404, "this plug-in has no page");
  }
  return reply(200, json{{"html", *html}});
}

ApiReply getList(const std::string& name) {
  std::optional<ListFileText> list = readEditableList(name);
  if (!list) {
    return failure(404, "no such list file");
  }
  return reply(200, json{{"name", name}, {"text", list->text}, {"revision", list->revision}});
}

ApiReply postList(const std::string& name, const ApiRequest& request) {
  ChangeOutcome outcome = writeEditableList(name, request.body.at("text").get<std::string>(),
                                            request.body.at("revision").get<std::string>());
  json extra = json::object();
  if (std::optional<ListFileText> list = readEditableList(name)) {
    extra["listRevision"] = list->revision;
  }
  return changeReply(outcome, std::move(extra));
}

const char* schemeWord(DnsblScheme scheme) {
  return scheme == DnsblScheme::Safe     ? "safe"
         : scheme == DnsblScheme::Medium ? "medium"
                                         : "aggressive";
}

json extrasJson(const WelcomeExtras& extras) {
  return json{{"countryLists", extras.countryLists},
              {"patternPlugin", extras.patternPlugin},
              {"linkPlugin", extras.linkPlugin},
              {"patternPluginInstalled", extras.patternPluginInstalled},
              {"linkPluginInstalled", extras.linkPluginInstalled}};
}

ApiReply welcome() {
  WelcomeState state = welcomeState();
  return reply(200, json{{"open", state.open},
                         {"portTexts", state.portTexts},
                         {"scheme", schemeWord(state.scheme)},
                         {"extras", extrasJson(prepareWelcomeExtras(state.scheme))}});
}

ApiReply postWelcomeScheme(const ApiRequest& request) {
  std::string word = request.body.at("scheme").get<std::string>();
  for (DnsblScheme scheme : {DnsblScheme::Safe, DnsblScheme::Medium, DnsblScheme::Aggressive}) {
    if (word == schemeWord(scheme)) {
      chooseWelcomeScheme(scheme);
      return welcome();
    }
  }
  return failure(422, "unknown scheme");
}

ApiReply postWelcomeFinish(const ApiRequest& request) {
  WelcomeExtras chosen = prepareWelcomeExtras(welcomeState().scheme);
  chosen.countryLists = request.body.value("countryLists", false);
  chosen.patternPlugin =
      chosen.patternPluginInstalled && request.body.value("patternPlugin", false);
  chosen.linkPlugin = chosen.linkPluginInstalled && request.body.value("linkPlugin", false);
  finishWelcome(chosen);
  return welcome();
}

} // namespace

std::optional<ApiReply> routeApiRequest(const ApiRequest& request, WebNotifier& notifier) {
  const std::string& path = request.path;
  if (request.method == "GET") {
    if (path == "status")
      return status(request, notifier);
    if (path == "about")
      return about();
    if (path == "add-to-list")
      return addChoices(request);
    if (path == "options")
      return options();
    if (path == "welcome")
      return welcome();
    if (path == "plugin-pages")
      return listPluginPages();
    if (path.starts_with("lists/"))
      return getList(path.substr(6));
    if (path.starts_with("plugin-pages/"))
      return getPluginPage(path.substr(13));
    return std::nullopt;
  }
  if (request.method != "POST") {
    return std::nullopt;
  }
  if (path == "answer")
    return answer(request, notifier);
  if (path == "command")
    return command(request);
  if (path == "add-to-list")
    return addEntry(request);
  if (path == "options/settings")
    return postSettings(request);
  if (path == "options/port")
    return postPort(request);
  if (path == "options/dnsbl")
    return postDnsbl(request);
  if (path == "options/plugins")
    return postPlugins(request);
  if (path == "welcome")
    return postWelcomeScheme(request);
  if (path == "welcome/finish")
    return postWelcomeFinish(request);
  if (path.starts_with("lists/"))
    return postList(path.substr(6), request);
  return std::nullopt;
}

} // namespace km
