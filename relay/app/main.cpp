// trevask: the relay between the robot and the client programs.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/shared_memory.h"
#include "relay/app/headless_options.h"
#include "relay/app/headless_ui.h"
#include "relay/app/log.h"
#include "relay/app/replay.h"
#include "relay/app/service_notify.h"
#include "relay/app/settings.h"
#include "relay/link/link_manager.h"
#include "relay/link/recording.h"

namespace {

// The dialog is a program of its own (the relay itself needs no toolkit): it lies beside this one.
int RunDialog(char** argv) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dialog = "trevask-dialog";
  if (n > 0) {
    const std::string path(self, static_cast<std::size_t>(n));
    dialog = path.substr(0, path.rfind('/') + 1) + "trevask-dialog";
  }
  argv[0] = const_cast<char*>(dialog.c_str());
  execv(dialog.c_str(), argv);
  std::fprintf(stderr,
               "trevask: the dialog is the program trevask-dialog (package trevask-dialog), not found beside "
               "this one; without a window, use --headless\n%s",
               relay::HeadlessUsage());
  return 2;
}

int RunHeadless(const relay::HeadlessOptions& options) {
  // Signals are taken synchronously by this thread; every thread started later inherits the mask.
  sigset_t handled_signals;
  sigemptyset(&handled_signals);
  sigaddset(&handled_signals, SIGINT);
  sigaddset(&handled_signals, SIGTERM);
  sigaddset(&handled_signals, SIGUSR1);
  sigaddset(&handled_signals, SIGUSR2);  // the connection thread has ended
  pthread_sigmask(SIG_BLOCK, &handled_signals, nullptr);

  if (!options.replay.empty())
    return relay::RunReplay(options.replay, options.speed, options.config.robot_id, handled_signals);

  relay::CLinkRecorder recorder;  // outlives the manager, which records into it
  if (!options.record.empty()) {
    std::string error;
    if (!recorder.Open(options.record, error)) {
      relay::Log(relay::LogLevel::kError, "--record: " + error);
      return 2;
    }
  }
  relay::HeadlessUi ui(options.config);
  int status = 0;
  {
    relay::CLinkManager manager(ui);
    ui.Attach(&manager);
    if (recorder.IsOpen()) manager.SetRecorder(&recorder);
    manager.SetConnectionEndHook([] { kill(getpid(), SIGUSR2); });
    if (!manager.StartConnection()) {
      relay::Log(relay::LogLevel::kError, "the connection thread cannot be started");
      return 1;
    }
    const timespec poll_interval{0, 100 * 1000 * 1000};
    bool firmware_started = false;
    while (manager.ConnectionRunning()) {
      if (!options.firmware.empty()) {
        if (!firmware_started && ui.connected_seen()) {
          firmware_started = true;
          manager.StartFirmwareUpload(options.firmware);
        } else if (firmware_started && !manager.UploadMode()) {
          ui.Print("firmware: upload finished");
          manager.RequestStop();
          break;
        }
      }
      // Signals wake this thread; it looks at the firmware upload's progress ten times a second
      // while one is asked for, and otherwise sleeps until a signal comes.
      int sig = options.firmware.empty() ? sigwaitinfo(&handled_signals, nullptr)
                                         : sigtimedwait(&handled_signals, nullptr, &poll_interval);
      if (sig == SIGUSR1) {
        ui.Print("--- link statistics ---\n" + manager.stats().Format());
      } else if (sig == SIGINT || sig == SIGTERM) {
        relay::NotifyStopping();
        manager.RequestStop();  // as closing the dialog: the loops end, then the teardown runs
        break;
      }
    }
    manager.WaitForConnectionThread();
    status = manager.GaveUp() ? 1 : 0;
    ui.Print("--- link statistics ---\n" + manager.stats().Format());
    ui.Attach(nullptr);
  }
  if (recorder.IsOpen())
    relay::Log(relay::LogLevel::kInfo,
               std::to_string(recorder.frames()) + " frames recorded into " + options.record);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // A log read through a pipe whose reader went away must not end the relay (and leave its
  // sections behind): writes then fail instead, and the log goes on on standard error.
  signal(SIGPIPE, SIG_IGN);
  relay::HeadlessOptions options;
  std::string error;
  const std::string settings_path = relay::SettingsPath();
  if (!relay::ParseHeadlessOptions(argc, argv, relay::LoadSettings(settings_path), options, error)) {
    std::fprintf(stderr, "trevask: %s\n%s", error.c_str(), relay::HeadlessUsage());
    return 2;
  }
  if (options.help) {
    std::fputs(relay::HeadlessUsage(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("trevask %s\n", relay::RelayVersion());
    return 0;
  }
  relay::SetLogThreshold(options.log_level);
  if (!options.group.empty() && !platform::ShareWithGroup(options.group, error)) {
    std::fprintf(stderr, "trevask: --group: %s\n", error.c_str());
    return 2;
  }
  if (!options.headless) return RunDialog(argv);
  const int status = RunHeadless(options);
  if (options.save_settings && !settings_path.empty() &&
      !relay::SaveSettings(settings_path, options.settings, error))
    relay::Log(relay::LogLevel::kWarning, "the settings were not saved: " + error);
  return status;
}
