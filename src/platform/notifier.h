// Message boxes and questions to the user, behind one interface so that the
// proxies never depend on a display. The headless notifier (the default) writes
// each notice to stderr and answers questions with the notice's headless answer,
// chosen by each caller so that nothing is lost and nothing blocks. The defaults
// in use:
//   - exit confirmation: yes (the exit goes ahead);
//   - shut-down wait ("stop waiting for the sessions?"): yes, at the first ask;
//   - offers made while loading the configuration (replacement DNSBL lists, newly
//     installed plug-ins, plug-in follow-ups): no;
//   - a configuration written by a newer version: cancel (the program ends rather
//     than rewriting a file whose newer settings it would drop);
//   - the port choice for a shared port: the first candidate.
//
// State: the process-wide notifier, swapped under the notifier mutex; notices may
// come from any thread and are shown outside that mutex.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace km {

enum class NoticeIcon { Information, Exclamation, Stop, Question };
enum class NoticeButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class NoticeAnswer { Ok, Cancel, Yes, No };

struct Notice {
  std::string title;
  std::string text;
  NoticeIcon icon = NoticeIcon::Information;
  NoticeButtons buttons = NoticeButtons::Ok;
  // The answer of the headless notifier; ignored for plain messages.
  NoticeAnswer headlessAnswer = NoticeAnswer::Ok;
  // Lines to pick one from (the port choice), and the headless pick.
  std::vector<std::string> choices = {};
  size_t headlessChoice = 0;
  // A check box under the text ("do not ask again"); empty for none. The headless
  // notifier leaves it unticked.
  std::string checkBoxText = {};
};

// The full answer to a notice with a list or a check box.
struct NoticeReply {
  NoticeAnswer answer = NoticeAnswer::Ok;
  size_t choice = 0;
  bool checked = false;
};

class Notifier {
public:
  virtual ~Notifier() = default;
  virtual NoticeAnswer show(const Notice& notice) = 0;
  // Notices with a list or a check box; by default the list's headless pick and an
  // unticked box, with the answer of show().
  virtual NoticeReply reply(const Notice& notice);
};

// Writes "title: text" to stderr and returns the headless answer.
class HeadlessNotifier : public Notifier {
public:
  NoticeAnswer show(const Notice& notice) override;
};

// Installs the process-wide notifier (the headless one until then) and returns
// the previous one.
std::shared_ptr<Notifier> setNotifier(std::shared_ptr<Notifier> notifier);

// Shows a notice through the current notifier; safe from any thread.
NoticeAnswer notify(const Notice& notice);
NoticeReply notifyForReply(const Notice& notice);

// Shorthands for the common cases.
void showMessage(const std::string& title, const std::string& text, NoticeIcon icon);
bool askYesNo(const std::string& title, const std::string& text, NoticeIcon icon, bool headlessYes);

} // namespace km
