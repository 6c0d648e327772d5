// The plug-in host with real libraries (tests/plugins): discovery, loading with the
// version check, exports, configuration folders, capabilities, names and versions,
// and what plug-ins reach through the callback tables.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "config/plugin_table.h"
#include "filter/filter_fixture.h"
#include "filter/plugin_calls.h"
#include "platform/md5.h"
#include "support/test_support.h"

namespace km::test {
namespace {

std::string testPlugin(const std::string& name) {
  return std::string(KESTREL_BUILD_DIR) + "/test-plugins/" + name + "/" + name + ".so";
}

// The installed table only grows: every test installs libraries under names of
// its own.
std::string freshName(const std::string& stem) {
  static int count = 0;
  return stem + std::to_string(::getpid()) + "x" + std::to_string(++count);
}

class PluginHost : public ::testing::Test {
protected:
  PluginHost() {
    ::setenv("RECORDER_LOG", calls_.c_str(), 1);
    std::filesystem::create_directories(folder_);
  }
  ~PluginHost() override { ::unsetenv("RECORDER_LOG"); }

  // Places a copy of a test library as plugins/<folder>/<name>.so and discovers it.
  int install(const std::string& library, const std::string& name,
              const std::string& folder = "lib") {
    place(library, folder + "/" + name + ".so");
    discoverPluginsIn(folder_);
    return findInstalledPlugin(name);
  }

  void place(const std::string& library, const std::string& relative) {
    std::filesystem::path target = folder_ + relative;
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(testPlugin(library), target);
  }

  // The recorded calls, without the recorder's tag.
  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    std::string text = std::filesystem::exists(calls_) ? readFile(calls_) : "";
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = text.substr(start, end - start);
      lines.push_back(line.substr(line.find(' ') + 1));
    }
    return lines;
  }

  DataDirScope data_;
  NotifierScope notices_;
  TempDir dir_;
  std::string folder_ = dir_.file("plugins/");
  std::string calls_ = dir_.file("calls.log");
};

TEST_F(PluginHost, DiscoveryTakesLibrariesInVisibleSubFoldersOnceByName) {
  std::string name = freshName("disc");
  place("recorder", "a/" + name + ".so");
  place("refuser", "b/" + name + ".SO.so");      // another name: "<name>.SO"
  place("refuser", "c/" + name + ".so");         // the same name again
  place("recorder", ".hidden/" + name + "h.so"); // hidden folder
  place("recorder", "top" + name + ".so");       // not in a sub-folder
  writeFile(folder_ + "a/" + name + ".txt", "not a library");
  discoverPluginsIn(folder_);
  discoverPluginsIn(folder_); // a second search adds nothing

  std::vector<std::string> found;
  for (const std::string& installed : installedPluginNames()) {
    if (installed.find(name) != std::string::npos) {
      found.push_back(installed);
    }
  }
  EXPECT_EQ(found, (std::vector<std::string>{name, name + ".SO"}));
  EXPECT_EQ(installedPluginPath(findInstalledPlugin(name)), folder_ + "a/" + name + ".so");
  // Names are compared ignoring case.
  EXPECT_EQ(findInstalledPlugin(name + ".so"), findInstalledPlugin(name + ".SO"));
}

TEST_F(PluginHost, AFolderThatCannotBeSearchedAddsNothing) {
  size_t before = installedPluginNames().size();
  discoverPluginsIn(dir_.file("no-such-folder/"));
  EXPECT_EQ(installedPluginNames().size(), before);
}

TEST_F(PluginHost, ALibraryIsLoadedWhileUsedAndCheckedOnceForTheVersion) {
  int index = install("recorder", freshName("use"));
  ASSERT_GE(index, 0);
  EXPECT_FALSE(pluginLoaded(index));
  EXPECT_TRUE(UsePlugin(index));
  EXPECT_TRUE(UsePlugin(index));
  EXPECT_EQ(pluginUseCount(index), 2);
  UnusePlugin(index);
  EXPECT_TRUE(pluginLoaded(index));
  UnusePlugin(index); // not enabled by the current configuration: unloaded
  EXPECT_FALSE(pluginLoaded(index));
  EXPECT_EQ(FindExport(index, "filterOnHost"), nullptr);

  EXPECT_TRUE(UsePlugin(index)); // loaded again, not asked again
  UnusePlugin(index);
  EXPECT_EQ(calls(), (std::vector<std::string>{"checkKestrelmailVersion 1.53"}));
}

TEST_F(PluginHost, ALibraryRefusingTheVersionOrNotLoadingIsDisabledForTheRun) {
  int refusing = install("refuser", freshName("refuse"));
  std::string broken = freshName("broken");
  std::filesystem::create_directories(folder_ + "x");
  writeFile(folder_ + "x/" + broken + ".so", "not a shared library");
  discoverPluginsIn(folder_);
  int unloadable = findInstalledPlugin(broken);

  for (int index : {refusing, unloadable}) {
    EXPECT_FALSE(UsePlugin(index));
    UnusePlugin(index);
    EXPECT_TRUE(pluginDisabled(index));
    EXPECT_FALSE(UsePlugin(index)); // and stays so
    UnusePlugin(index);
    EXPECT_FALSE(pluginLoaded(index));
    EXPECT_EQ(FindExport(index, "getPluginName"), nullptr);
  }
  EXPECT_EQ(calls(), (std::vector<std::string>{"checkKestrelmailVersion 1.53"}));
  ASSERT_EQ(notices_.notifier().count(), 2u); // the user hears of each once
  EXPECT_NE(notices_.notifier().notices()[1].text.find(broken), std::string::npos);
}

TEST_F(PluginHost, ExportsAreFoundUnderTheirNameOrWithALeadingUnderscore) {
  int index = install("underscored", freshName("under"));
  ASSERT_TRUE(UsePlugin(index));
  void* decorated = FindExport(index, "_filterOnHost");
  EXPECT_NE(decorated, nullptr);
  EXPECT_EQ(FindExport(index, "filterOnHost"), decorated);
  EXPECT_EQ(FindExport(index, "__filterOnHost"), nullptr); // only one underscore is tried
  EXPECT_EQ(FindExport(index, "filterOnIpAddress"), nullptr);
  EXPECT_EQ(PluginDisplayName(installedPluginName(index)), "Underscored");
  UnusePlugin(index);
}

TEST_F(PluginHost, LoadConfigGetsTheFolderNamedAfterThePlugin) {
  std::string name = freshName("conf");
  int index = install("recorder", name);
  ASSERT_TRUE(UsePlugin(index));
  KmPluginData data = LoadPluginConfig(index);
  EXPECT_NE(data, nullptr);
  std::string folder = data_.file("plugins/" + name + "/");
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  ReleasePluginConfig(index, data);
  EXPECT_EQ(calls().back(), "releaseConfig " + folder);

  // A folder that cannot be made: reported with its path, and no data.
  std::string blocked = freshName("blocked");
  int other = install("recorder", blocked);
  std::filesystem::create_directories(data_.file("plugins"));
  writeFile(data_.file("plugins/" + blocked), "a file where the folder belongs");
  ASSERT_TRUE(UsePlugin(other));
  size_t before = notices_.notifier().count();
  EXPECT_EQ(LoadPluginConfig(other), nullptr);
  ASSERT_EQ(notices_.notifier().count(), before + 1);
  EXPECT_NE(notices_.notifier().notices().back().text.find(blocked), std::string::npos);
  UnusePlugin(other);
  UnusePlugin(index);
}

TEST_F(PluginHost, ASnapshotCombinesCapabilitiesAndHandsTheDataBackWhenReleased) {
  std::string name = freshName("snap");
  int recorder = install("recorder", name);
  int silent = install("underscored", freshName("silent"));
  auto config = std::make_shared<Config>();
  config->enabledPlugins = {enabledPlugin(recorder), enabledPlugin(silent)};
  {
    PluginUses session(*config);
    EXPECT_EQ(pluginUseCount(recorder), 2); // the session's and the snapshot's
    // The recorder says 1, _, 4; one without the export counts as 3, 3, 0, 0, 0.
    std::vector<uint32_t> words;
    for (size_t word = 0; word < 5; ++word) {
      words.push_back(pluginCapabilityWord(*config, word));
    }
    EXPECT_EQ(words, (std::vector<uint32_t>{3, 3, 4, 0, 0}));
    PreparePlugins(*config); // the data is loaded once per snapshot
  }
  EXPECT_EQ(pluginUseCount(recorder), 1);
  std::vector<std::string> seen = calls();
  EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                          [](const std::string& c) { return c.starts_with("loadConfig "); }),
            1);
  config.reset();
  EXPECT_EQ(calls().back(), "releaseConfig " + data_.file("plugins/" + name + "/"));
  EXPECT_EQ(pluginUseCount(recorder), 0);
  EXPECT_FALSE(pluginLoaded(recorder));
}

TEST_F(PluginHost, NamesAndVersionsComeFromThePlugin) {
  std::string name = freshName("ver");
  install("recorder", name);
  std::string plain = freshName("plain");
  install("underscored", plain);
  EXPECT_EQ(PluginDisplayName(name), "Call Recorder");
  EXPECT_EQ(PluginDisplayName("no-such-plugin"), "(Unnamed plugin)");
  EXPECT_EQ(PluginVersion(name), 2.5);
  EXPECT_EQ(PluginVersion(plain), 0);
  EXPECT_EQ(PluginVersion("no-such-plugin"), -1);
  struct Offer {
    std::string version;
    bool newer;
  };
  for (const Offer& offer : {Offer{"2.6", true}, Offer{"10", true}, Offer{"2.5", false},
                             Offer{"2.50", true}, Offer{"2.5b", true}, Offer{"2.4z", false}}) {
    EXPECT_EQ(PluginOlderThan(name, offer.version), offer.newer) << offer.version;
  }
  EXPECT_FALSE(PluginOlderThan("no-such-plugin", "9"));
}

// --- What plug-ins reach through the callback tables ---

class PluginCallbacks : public PipelineTest {};

TEST_F(PluginCallbacks, TheFingerprintDigestsIdentifyingFieldsElseTheOtherLines) {
  struct Case {
    const char* headers;
    std::string digested; // empty: no fingerprint
  };
  const Case cases[] = {
      {"Received: from a\r\nMessage-Id: <1@x>\r\nFrom: A <a@x>\r\nSubject: s\r\n"
       "Date: Mon, 7 Dec 2026\r\n",
       ": <1@x>__: A <a@x>__: Mon, 7 Dec 2026__"},
      // Without them: every line but Subject and X- lines, control bytes as "_".
      {"Received: from a\r\n\tby b\r\nSubject: s\r\nX-Mailer: m\r\nx-spam: y\r\nTo: t\r\n",
       "Received: from a___by b__To: t__"},
      {"Subject: only\r\nX-Other: 1\r\n", ""},
  };
  for (const Case& c : cases) {
    MessagePtr message = received(std::string(c.headers) + "\r\nBody\r\n");
    char out[33] = "junk";
    int32_t known = pluginCallbacksB()->messageFingerprint(message->handle, out);
    EXPECT_EQ(known, c.digested.empty() ? 0 : 1) << c.headers;
    EXPECT_EQ(std::string(out), c.digested.empty() ? "" : md5Hex(c.digested)) << c.headers;
    EXPECT_EQ(pluginCallbacksA()->messageFingerprint(message->handle, out), known);
  }
  char out[33] = "junk";
  EXPECT_EQ(pluginCallbacksB()->messageFingerprint(0xfffffff0u, out), 0);
  EXPECT_STREQ(out, "");
}

TEST_F(PluginCallbacks, PropertiesBelongToTheirMessage) {
  MessagePtr first = received("Subject: one\r\n\r\nBody\r\n");
  MessagePtr second = received("Subject: two\r\n\r\nBody\r\n");
  const KmCallbacksB* b = pluginCallbacksB();
  b->setMessageProperty(first->handle, "score", 5);
  b->setMessageProperty(first->handle, "score", 9); // replaced
  b->setMessageProperty(first->handle, "Score", 1); // another name
  b->setMessageProperty(second->handle, "score", 2);
  EXPECT_EQ(b->getMessageProperty(first->handle, "score"), 9);
  EXPECT_EQ(b->getMessageProperty(first->handle, "Score"), 1);
  EXPECT_EQ(b->getMessageProperty(second->handle, "score"), 2);
  b->removeMessageProperty(first->handle, "score");
  EXPECT_EQ(b->getMessageProperty(first->handle, "score"), 0);
  EXPECT_EQ(b->getMessageProperty(first->handle, "Score"), 1);
  uint32_t gone = second->handle;
  second.reset();
  b->setMessageProperty(gone, "score", 3); // a message that is gone: nothing
  EXPECT_EQ(b->getMessageProperty(gone, "score"), 0);
}

TEST_F(PluginCallbacks, AddressesAreExtractedForPlugins) {
  const KmCallbacksB* b = pluginCallbacksB();
  char address[64];
  EXPECT_EQ(b->extractEmailAddress("Friend <friend@example.org>, x", address), 26);
  EXPECT_STREQ(address, "friend@example.org");
  EXPECT_EQ(b->extractEmailAddress("nobody here", address), -1);
  uint8_t ip[4];
  EXPECT_EQ(b->extractIpAddress("from [192.0.2.7] by", ip), 15);
  EXPECT_EQ((std::vector<int>{ip[0], ip[1], ip[2], ip[3]}), (std::vector<int>{192, 0, 2, 7}));
  EXPECT_EQ(b->extractIpAddress("no address", ip), -1);
  b->reserved(); // does nothing, and does not crash
}

} // namespace
} // namespace km::test
