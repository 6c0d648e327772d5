// Configuration: the data directory, config.dat with its port blocks, and the
// immutable, reference-counted Config snapshot every session and filter run reads.
//
//   data_dir.h      the data directory's sub-folders and first-run files (where it
//                   is: platform/data_path.h)
//   config.h        (this file) the Config record, loading, saving, hot reload
//   config_lines.h  the line syntax shared by config.dat and the list files
//   lists.h         white and black lists and the auto-white lists: entry syntax,
//                   reading, matching, saving
//   list_index.h    fast lookups in the lists
//   plugin_table.h  the installed plug-ins and their exports
//   dnsbl_definitions.h  the DNSBL definition files
//
// A snapshot is taken with AcquireConfig() and held as a ConfigRef; copying a
// ConfigRef takes another reference and dropping it lets go. Loading builds a new
// snapshot and makes it current; holders of the old one keep it until they let go.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/list_index.h"
#include "diag/activity_log.h"
#include "platform/ipv4.h"
#include "platform/notifier.h"
#include "platform/sync.h"

namespace km {

// Lowest program version that can read the files this one writes.
inline constexpr const char* kCompatibilityVersion = "1.52";

// Defaults of MAX_SESSIONS, CLIENT_IDLE_TIME_OUT (seconds; POP3 servers must wait
// at least ten minutes for a silent client) and TIME_OUT_PREVENTION_INTERVAL
// (seconds).
inline constexpr int32_t kDefaultMaxSessions = 500;
inline constexpr int32_t kDefaultClientIdleTimeout = 600;
inline constexpr int32_t kDefaultPreventionInterval = 29;
// The loopback port of the pages that show and change the program (0: none).
inline constexpr int32_t kDefaultWebInterfacePort = 9110;

// The kind of a port definition; the numbers are those config.dat's older
// single-port format and the plug-ins use.
enum class PortType : int32_t {
  Pop3Specific = 0,
  Pop3Generic = 1,
  Imap4Specific = 2,
  Imap4Generic = 3,
  SmtpSpecific = 4,
};

enum class UpstreamTls { Auto, Implicit, StartTls, None };

struct Pop3PortOptions {
  bool suppressClientErrors = false;
  bool muteConnectionErrors = false;
  bool attemptApop = false;
  int32_t bodyKTop = 4;
  int32_t bodyKRetr = 64;
};

enum class Imap4Rewrite : int32_t { Never = 0, Always = 1, Spam = 2 };
enum class Imap4FilterType : int32_t { Recent = 0, Unseen = 1, All = 2 };

struct Imap4PortOptions {
  bool muteConnectionErrors = false;
  Imap4Rewrite rewrite = Imap4Rewrite::Never;
  bool autoDeleteSpam = false;
  bool autoMoveSpam = false;
  bool expungeDeletions = false;
  std::string spamtrapFolder = "none";
  int32_t bodyK = 64;
  Imap4FilterType filterType = Imap4FilterType::Recent;
  bool checkHeadersUnfiltered = true;
  bool filterOneMailbox = false;
  std::string filterMailbox = "Inbox";
};

struct SmtpPortOptions {
  bool muteConnectionErrors = false;
  bool awlistRcptTo = false;
  bool removeServerNameFromUserName = false;
  bool rejectOnMailFrom = false;
  bool rejectOnOriginatingIp = false;
  bool addReceivedHeader = false;
  bool useFiltering = false;
  int32_t bodyK = 64;
  std::vector<std::string> localEmails;
  std::vector<Netblock> localIpBlocks;
  std::string localEmailFile;
  std::string localIpFile;
  bool permitAllAuthenticatedRelaying = false;
};

// One port definition. Only the options of the port's protocol are meaningful.
// Empty strings stand for names that are not set.
struct PortConfig {
  uint32_t id = 0;
  int32_t listenPort = 0;
  PortType type = PortType::Pop3Generic;
  std::string serverName;
  bool specialAcl = false;
  std::string aclFileName;
  std::vector<Netblock> aclBlocks;
  UpstreamTls upstreamTls = UpstreamTls::Auto;
  // This port's own certificate checking, in place of TLS_VERIFY and TLS_CA_FILE
  // (a user with one self-signed server need not turn checking off for all).
  std::optional<bool> tlsVerify;
  std::string tlsCaFile;
  Pop3PortOptions pop3;
  Imap4PortOptions imap4;
  SmtpPortOptions smtp;
};

enum class DnsblType : int32_t { Standard = 0, Country = 1, ProviderIgnore = 2 };

// One DNS blacklist definition.
struct DnsblList {
  std::string name = "unnamed";
  std::string key;
  std::string website;
  std::string description;
  std::string zone;
  std::vector<int> subsumedBy;          // indexes of earlier lists
  std::vector<Ipv4Address> resultCodes; // none: any answer counts
  bool inSafe = false;
  bool inMedium = false;
  bool inAggressive = false;
  DnsblType type = DnsblType::Standard;
  std::vector<std::string> replaces;
};

class PluginSnapshotState;

// One ENABLED_PLUGIN line: the installed plug-in (config/plugin_table.h) and what
// the snapshot keeps for it (its data, its use of the library, its capability
// words). Entries are made with enabledPlugin(); copies of a snapshot share the
// state, so the plug-in's data lives as long as the last copy.
struct EnabledPlugin {
  int installedIndex = -1;
  std::shared_ptr<PluginSnapshotState> state;
};

enum class TrayAction : int32_t { Status = 0, Options = 1, None = 2, Plugin = 3 };

struct CachePeriod {
  int32_t a = 0;
  int32_t b = 0;
};

// A configuration snapshot. The values here are those of a file that names no key.
struct Config {
  int64_t loadedAt = 0; // file-clock time the load began
  bool isFirstRun = false;
  bool filteringDisabled = false;

  std::vector<std::string> extraWlistIpFiles;
  std::vector<std::string> extraWlistFromFiles;
  std::vector<std::string> extraBlistIpFiles;
  std::vector<std::string> extraBlistFromFiles;

  // In calling order; their capability words: pluginCapabilityWord().
  std::vector<EnabledPlugin> enabledPlugins;
  bool announceNewPlugins = false;
  std::vector<int> knownInstalled; // installed index, or -1 when not installed now

  std::vector<PortConfig> ports;
  bool allowPortSharing = false;
  Ipv4Address listenIp = kLoopbackAddress;
  std::vector<Netblock> ipAllowList;

  std::vector<DnsblList> dnsblLists;
  std::string dnsblFileText;
  std::string extraDnsblFileText;
  std::string dnsblLastUpdated;
  std::vector<int> enabledDnsbl; // indexes into dnsblLists, in query order
  int32_t maxDnsblThreads = 25;

  std::vector<std::string> whitelistEmail;
  std::vector<Netblock> whitelistIp;
  std::vector<std::string> blacklistEmail;
  std::vector<Netblock> blacklistIp;
  // Built from the four lists when they are loaded.
  PatternIndex whitelistEmailIndex;
  NetblockIndex whitelistIpIndex;
  PatternIndex blacklistEmailIndex;
  NetblockIndex blacklistIpIndex;

  bool awlistFilteringDisabled = false;
  bool autoWlistFromLogging = false;
  std::vector<std::string> autoWlistFrom;
  bool useAutoWlistFrom = true;
  int32_t autoWlistFromNumMails = 7;
  std::vector<std::string> neverAutoWhitelist;
  std::vector<Ipv4Address> autoWlistIp;
  bool autoWlistIpLogging = false;
  bool useAutoWlistIp = true;
  int32_t autoWlistIpNumMails = 12;

  bool tagSubject = false;
  std::string subjectTagString = "**SPAM**";
  bool verdictInSubject = false;
  bool tagAsSuffix = false;
  bool addReasonHeaders = true;

  bool alwaysShowApopWarning = true;
  bool alwaysShowSaslWarning = true;
  bool alwaysConfirmExit = true;
  bool shownScattererWarning = false;
  bool shownPortalWarning = false;

  bool statusWindowAutoOpen = false;
  bool statusWindowTopmost = false;
  int32_t filteringStatsDays = 7;

  bool loggingEnabled = false;
  LogLevel loggingLevel = LogLevel::Standard;
  std::string logFile;
  int32_t logMaxSize = 256; // kilobytes

  TrayAction trayAction = TrayAction::None;
  int trayPlugin = -1; // installed index for TRAY_PLUGIN

  bool showUpdatesWindow = false;
  bool informAboutBetas = true;
  bool programUpdatesCheck = true;
  uint32_t programUpdatesLastCheck = 0;
  int32_t programUpdatesInterval = 14;
  bool dnsblUpdatesCheck = true;
  uint32_t dnsblUpdatesLastCheck = 0;
  int32_t dnsblUpdatesInterval = 14;
  std::vector<std::string> knownPluginCodes;
  // Where the update library fetches DNSBL definitions: a file path or an http or
  // https URL; empty for the project's published default_dnsbl.dat.
  std::string dnsblUpdatesSource;

  int32_t dnsblTimeout = 30;
  CachePeriod dnsblPositivePeriod{2, 0};
  CachePeriod dnsblNegativePeriod{3, 0};

  // Upstream TLS: verify server certificates, optionally against a private CA.
  bool tlsVerify = true;
  std::string tlsCaFile;
  // DNSBL lookups go to this resolver ("ip" or "ip:port") when set.
  std::string dnsblNameserver;

  // Bounds that keep one client, server or burst from hurting the other
  // sessions. Sessions running at once, beyond which a client is refused (0: no
  // limit); seconds a client may stay silent (or take nothing sent to it) before
  // its session ends (0: no limit); seconds between the sends that keep a client
  // busy while its message is held back.
  int32_t maxSessions = kDefaultMaxSessions;
  int32_t clientIdleTimeout = kDefaultClientIdleTimeout;
  int32_t preventionInterval = kDefaultPreventionInterval;

  // The port on 127.0.0.1 where the program's pages are served; 0 serves none.
  int32_t webInterfacePort = kDefaultWebInterfacePort;
};

// A snapshot as its readers hold it: shared and never changed. A change to the
// configuration makes a new snapshot (updateConfig); a holder keeps the one it has.
using ConfigRef = std::shared_ptr<const Config>;

// The configuration lock: guards the current snapshot, loading, saving and
// changing it, and the run-time state kept beside the snapshot (the table of
// installed plug-ins, config/plugin_table.h). Re-entrant. Taken after the DNSBL
// lock and before the activity log's locks.
RecursiveLock& configLock();

// The current snapshot (null before the first load), counted for the caller. Any
// thread.
ConfigRef AcquireConfig();

// What a load, a save or a change ended in beyond plain success. The
// configuration layer never ends the program nor decides what follows: it tells
// the application's trouble handler (ConfigHandlers) and returns the status.
enum class ConfigTrouble {
  None,
  ExistsUnreadable,     // config.dat is there but cannot be read; nothing changed
  CannotCreate,         // there is no config.dat and none could be written
  NewerVersionDeclined, // the user declined a newer version's file; it was loaded, not written
  CannotCreateNewFile,  // no new config.dat could be made beside the old one, which stays
  CannotWriteNewFile,   // the new config.dat could not be written or put in place; the old stays
  NotLoaded,            // there is no current snapshot to change or save
};

// The result of a load, a save or a change: true when a load made its snapshot
// current, or a save or change wrote config.dat.
struct ConfigStatus {
  ConfigTrouble trouble = ConfigTrouble::None;
  explicit operator bool() const {
    return trouble == ConfigTrouble::None || trouble == ConfigTrouble::NewerVersionDeclined;
  }
};

// How the configuration layer reaches the user and the application, installed by
// the program (and the wizard) at start-up. Without them questions take their
// headless answers, notices go to nobody and no trouble ends anything.
struct ConfigHandlers {
  // The notices and questions of loading and saving (an unknown DNSBL, a file of a
  // newer version, newly installed plug-ins, a port that could not be made...).
  std::function<NoticeReply(const Notice&)> converse;
  // Trouble the application decides on (whether the program can go on). Runs under
  // the configuration lock, on the thread that loaded or saved.
  std::function<void(ConfigTrouble)> onTrouble;
};
void setConfigHandlers(ConfigHandlers handlers);

// Builds a snapshot from the configuration files and makes it current, with the
// write-backs the load calls for. Fails (ExistsUnreadable, CannotCreate) when no
// configuration could be read or created. Any thread.
ConfigStatus loadConfigFile();
// Writes the current snapshot to config.dat. Any thread.
ConfigStatus saveConfigFile();

// The one way to change the current configuration: under the configuration lock,
// copies the current snapshot, lets `edit` change the copy, makes the copy current
// and writes config.dat. Sessions keep the snapshot they hold, unchanged. NotLoaded
// (nothing edited) without a current snapshot; CannotCreateNewFile or
// CannotWriteNewFile when the file could not be written (the change is current all the same). Any
// thread; `edit` runs under the configuration lock and must not wait for other threads.
ConfigStatus updateConfig(const std::function<void(Config&)>& edit);

// As updateConfig for what a snapshot holds but config.dat does not: the
// auto-white lists, which live in files of their own that the caller writes. The
// changed copy becomes current; config.dat is left as it is, so that a hand edit
// not yet reloaded is not overwritten for a change that is not in it.
ConfigStatus updateConfigWithoutSaving(const std::function<void(Config&)>& edit);

// Loads a fresh snapshot when any configuration file changed since the current
// one was loaded. True when it reloaded. Any thread (sessions call it at their
// start).
bool reloadIfConfigChanged();
// Whether the update check already knows this plug-in code.
bool isKnownPluginCode(std::string_view code);

// What the activity log needs of a snapshot.
LogSettings logSettingsOf(const Config& config);

// Drops the current snapshot (program end; tests).
void releaseCurrentConfig();

// Runs after every load, outside the configuration lock (unless the loading
// thread holds it), so that the tray icon, the listeners and the status window
// follow the new snapshot.
void setConfigLoadedHandler(std::function<void()> handler);

// The text config.dat would hold for a snapshot; saveConfigFile writes exactly this.
std::string formatConfigFile(const Config& config);

// A port id not used by any of the ports: the current time in seconds, raised
// until it is free.
uint32_t newPortId(const std::vector<PortConfig>& ports);

// A name for a per-port file in the data directory: "port<listen>_<base>.txt", or
// "port<listen>_<base>_<n>.txt" for the first n from 1 whose file does not exist
// and that no port uses for one of its files.
std::string makePortFileName(int32_t listenPort, std::string_view base,
                             const std::vector<PortConfig>& ports);

// Appends a generic POP3 or IMAP4 port on the first free port number (110 or 143,
// then 1110 or 1143 and upwards) and tells the user which (through the
// configuration handlers). The text of that message also goes to `statusText`
// when given, and then only a failure is told. Used on a snapshot being built or
// inside updateConfig.
void createGenericPort(Config& config, PortType type, std::string* statusText = nullptr);

// One port definition as the lines of its block in config.dat after "PORT n":
// each key with its value, in the written order.
using PortKeyValues = std::vector<std::pair<std::string, std::string>>;
PortKeyValues portKeyValues(const PortConfig& port);

// A port definition built the way loading builds one: a block "PORT listenPort"
// followed by the key lines, read as if it came after the ports of `config`
// (numbers kept in range, the per-port file names made for a new SMTP port).
// The block's own files (access list, permission files) are read at the next load.
PortConfig portFromKeyValues(const Config& config, int32_t listenPort, const PortKeyValues& keys);

// The access decision for a client connecting to a port: the port's own access
// list when it has one switched on, else the global allow list.
bool portAdmits(const PortConfig& port, const Config& config, const Ipv4Address& client);

} // namespace km
