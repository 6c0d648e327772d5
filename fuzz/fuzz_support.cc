#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "config/data_dir.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/notifier.h"

namespace km::fuzz {

namespace {

class SilentNotifier : public Notifier {
public:
  NoticeAnswer show(const Notice& notice) override { return notice.headlessAnswer; }
};

} // namespace

const std::string& prepareFuzzing() {
  // Never destroyed: the clean-up at exit still needs it after static objects go.
  static const std::string& directory = *new std::string([] {
    std::string pattern = temporaryDirectory() + "kestrel-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    loadLanguageTable(executableDirectory() + "kestrelmail.lang");
    setNotifier(std::make_shared<SilentNotifier>());
    chooseDataDirectory(pattern, true);
    std::atexit([] { std::filesystem::remove_all(prepareFuzzing()); });
    return pattern + "/";
  }());
  return directory;
}

void clearDataDirectory() {
  for (const std::string& name : listDirectory(prepareFuzzing(), "")) {
    std::string path = prepareFuzzing() + name;
    if (!directoryExists(path)) {
      removeFile(path);
    }
  }
}

void writeDataFile(const std::string& name, std::string_view bytes) {
  FILE* file = std::fopen((prepareFuzzing() + name).c_str(), "wb");
  if (file == nullptr) {
    std::abort();
  }
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

} // namespace km::fuzz
