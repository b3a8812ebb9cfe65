// trevask: the relay between the robot and the client programs.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "platform/program.h"
#include "platform/regular_file.h"
#include "platform/service_manager.h"
#include "platform/shared_memory.h"
#include "relay/app/headless_options.h"
#include "relay/app/headless_ui.h"
#include "relay/app/log.h"
#include "relay/app/replay.h"
#include "relay/app/settings.h"
#include "relay/link/link_manager.h"
#include "relay/link/recording.h"

namespace {

// The dialog is a program of its own (the relay itself needs no toolkit): it lies beside this one.
int RunDialog(char** argv) {
  const std::string self = platform::ProgramPath();
  const std::size_t folder_end = self.find_last_of("/\\");
  std::string dialog = "trevask-dialog";
  if (folder_end != std::string::npos) dialog = self.substr(0, folder_end + 1) + dialog;
  argv[0] = const_cast<char*>(dialog.c_str());
  platform::RunInstead(dialog, argv);
  std::fprintf(stderr,
               "trevask: the dialog is the program trevask-dialog (package trevask-dialog), not found beside "
               "this one; without a window, use --headless\n%s",
               relay::HeadlessUsage());
  return 2;
}

int RunHeadless(const relay::HeadlessOptions& options, relay::FirmwareImage firmware) {
  // Requests (stop, statistics, the connection thread's end) are taken by this thread alone.
  platform::TakeProgramRequests();

  if (!options.replay.empty())
    return relay::RunReplay(options.replay, options.speed, options.config.robot_id);

  relay::CLinkRecorder recorder;  // outlives the manager, which records into it
  if (!options.record.empty()) {
    if (const platform::Result opened = recorder.Open(options.record); !opened.ok()) {
      relay::Log(relay::LogLevel::kError, "--record: " + opened.message);
      return 2;
    }
  }
  relay::HeadlessUi ui(options.config);
  int status = 0;
  {
    relay::CLinkManager manager(ui);
    ui.Attach(&manager);
    if (recorder.IsOpen()) manager.SetRecorder(&recorder);
    manager.SetConnectionEndHook([] { platform::PostThreadEnded(); });
    if (!manager.StartConnection()) {
      relay::Log(relay::LogLevel::kError, "the connection thread cannot be started");
      return 1;
    }
    bool firmware_started = false;
    while (manager.ConnectionRunning()) {
      if (!options.firmware.empty()) {
        if (!firmware_started && ui.connected_seen()) {
          firmware_started = true;
          manager.StartFirmwareUpload(std::move(firmware));
        } else if (firmware_started && !manager.UploadMode()) {
          ui.Print("firmware: upload finished");
          manager.RequestStop();
          break;
        }
      }
      // Requests wake this thread; it looks at the firmware upload's progress ten times a second
      // while one is asked for, and otherwise sleeps until a request comes.
      const platform::ProgramRequest request =
          platform::NextProgramRequest(options.firmware.empty() ? -1 : 100);
      if (request == platform::ProgramRequest::kStatistics) {
        ui.Print("--- link statistics ---\n" + manager.stats().Format());
      } else if (request == platform::ProgramRequest::kStop) {
        platform::NotifyStopping();
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
  argv = platform::Utf8Arguments(argc, argv);  // a robot name or a path in any language
  relay::HeadlessOptions options;
  const std::string settings_path = relay::SettingsPath();
  if (const platform::Result parsed =
          relay::ParseHeadlessOptions(argc, argv, relay::LoadSettings(settings_path), options);
      !parsed.ok()) {
    std::fprintf(stderr, "trevask: %s\n%s", parsed.message.c_str(), relay::HeadlessUsage());
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
  if (!options.group.empty() && !platform::SectionsShareWithGroups()) {
    std::fprintf(stderr,
                 "trevask: --group: this system's sections cannot be shared with a group: only the user who "
                 "runs the relay (and the system's administrators) may open them\n");
    return 2;
  }
  if (!options.group.empty()) {
    if (const platform::Result shared = platform::ShareWithGroup(options.group); !shared.ok()) {
      std::fprintf(stderr, "trevask: --group: %s\n", shared.message.c_str());
      return 2;
    }
  }
  if (!options.headless) return RunDialog(argv);
  // The firmware is read whole before the relay connects: a file that is not there, or that is not
  // a regular file of bounded size, is refused now rather than found out in the middle of a link.
  relay::FirmwareImage firmware;
  if (!options.firmware.empty()) {
    const platform::Status read = relay::LoadFirmware(options.firmware, firmware);
    if (read != platform::Status::kOk) {
      std::fprintf(stderr, "trevask: --firmware %s\n",
                   relay::FirmwareFileProblem(options.firmware, read).c_str());
      return 2;
    }
  }
  const int status = RunHeadless(options, std::move(firmware));
  if (options.save_settings && !settings_path.empty()) {
    if (const platform::Result saved = relay::SaveSettings(settings_path, options.settings); !saved.ok())
      relay::Log(relay::LogLevel::kWarning, "the settings were not saved: " + saved.message);
  }
  return status;
}
