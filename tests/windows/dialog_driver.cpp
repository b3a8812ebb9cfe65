// dialog_driver: drives a running trevask-dialog.exe through its controls, as a user would, and
// checks what they show: the template's controls, Wi-Fi chosen with the robot's address and port,
// Connect, then the status text, the "Signal Robust" bar, the link icon and the minimised window,
// Disconnect, and closing. On the way: the refusals of a port that is no UDP port and of a robot ID
// the relay would cut, and a warning of the relay (a client names a file that is no sound, through
// SECTIONS_EXE, trevask-sections.exe) that stays in the status field while the robot answers.
//
//   dialog_driver ROBOT_ID UDP_PORT SECTIONS_EXE [PICTURE.bmp]
//       exit status 0 when every check holds; with a picture, the connected dialog as the screen
//       shows it
//   dialog_driver --box ROBOT_ID                       the link's box up (a COM port that is not there):
//                                                      Disconnect and closing each end within 3 s
//   dialog_driver --upload ROBOT_ID COM SIM_LOG        a firmware upload to a board that never answers,
//                                                      started from the about box: closing ends within 3 s
#include <windows.h>
// The common controls' messages, after windows.h, which they build on.
#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  if (!ok) ++failures;
}

std::wstring Text(HWND control) {
  wchar_t buffer[256] = {};
  SendMessageW(control, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(buffer));
  return buffer;
}

std::wstring ClassOf(HWND control) {
  wchar_t buffer[64] = {};
  GetClassNameW(control, buffer, 64);
  return buffer;
}

// Waits up to `ms` for `done`.
template <typename F>
bool WaitFor(F done, DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  while (!done()) {
    if (static_cast<LONG>(end - GetTickCount()) <= 0) return false;
    Sleep(50);
  }
  return true;
}

// The window as the screen shows it, into a 24-bit BMP file.
bool SaveWindowPicture(HWND window, const wchar_t* path) {
  RECT r{};
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP picture = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(memory, picture);
  BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFOHEADER info{sizeof info, w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
  std::string pixels(stride * static_cast<DWORD>(h), '\0');
  GetDIBits(memory, picture, 0, static_cast<UINT>(h), pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
            DIB_RGB_COLORS);
  DeleteObject(picture);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof info + pixels.size()), 0,
                        0, sizeof(BITMAPFILEHEADER) + sizeof info};
  FILE* out = _wfopen(path, L"wb");
  if (out == nullptr) return false;
  const bool ok = std::fwrite(&file, sizeof file, 1, out) == 1 &&
                  std::fwrite(&info, sizeof info, 1, out) == 1 &&
                  std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
  return std::fclose(out) == 0 && ok;
}

void Click(HWND dialog, int id) {
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

struct OwnedSearch {
  HWND owner;
  const wchar_t* caption;
  HWND found;
};

// A window callback, in the system's calling convention (which a lambda lacks on 32-bit Windows).
BOOL CALLBACK MatchOwned(HWND w, LPARAM p) {
  auto* s = reinterpret_cast<OwnedSearch*>(p);
  if (GetWindow(w, GW_OWNER) != s->owner || !IsWindowVisible(w) || Text(w) != s->caption) return TRUE;
  s->found = w;
  return FALSE;
}

// A visible window that `owner` owns, with the caption `caption`; null when there is none.
HWND OwnedWindow(HWND owner, const wchar_t* caption) {
  OwnedSearch search{owner, caption, nullptr};
  EnumWindows(&MatchOwned, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool FileHas(const wchar_t* path, const char* text) {
  FILE* f = _wfopen(path, L"rb");
  if (f == nullptr) return false;
  std::string all;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) all.append(buffer, n);
  std::fclose(f);
  return all.find(text) != std::string::npos;
}

HWND FindDialog() {
  HWND dialog = nullptr;
  Check(WaitFor(
            [&] {
              dialog = FindWindowW(nullptr, L"Caldrix Trevask");
              return dialog != nullptr && IsWindowVisible(dialog) && GetWindow(dialog, GW_OWNER) == nullptr;
            },
            30000),
        "the dialog \"Caldrix Trevask\" is shown");
  return dialog;
}

// The serial radio, a COM port typed into the box, Connect.
void ConnectSerial(HWND dialog, const wchar_t* robot, const wchar_t* com) {
  SendDlgItemMessageW(dialog, 1016, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(robot));
  Click(dialog, 1000);
  SendDlgItemMessageW(dialog, 1023, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(com));
  Click(dialog, 1012);
}

// The link's box for a port that cannot be opened is up: the dialog's own Disconnect brings
// Connect back, and closing goes through, each within 3 seconds, the box still up meanwhile.
int BoxUp(const wchar_t* robot) {
  HWND dialog = FindDialog();
  if (dialog == nullptr) return 1;
  HWND connect = GetDlgItem(dialog, 1012);
  ConnectSerial(dialog, robot, L"COM200");
  HWND box = nullptr;
  Check(WaitFor([&] { return (box = OwnedWindow(dialog, L"Caldrix Trevask")) != nullptr; }, 30000),
        "the link's box is up");
  Check(WaitFor([&] { return Text(connect) == L"Connect" && IsWindowEnabled(connect); }, 3000),
        "Connect is back within 3 s, the box up");
  Check(IsWindow(box) && IsWindowVisible(box), "the box is still up");
  const DWORD asked = GetTickCount();
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  WaitFor([&] { return !IsWindow(dialog); }, 20000);
  const DWORD took = GetTickCount() - asked;
  std::printf("closing took %lu ms\n", static_cast<unsigned long>(took));
  Check(!IsWindow(dialog) && took < 3000, "the dialog closes within 3 s, the box up");
  Check(!IsWindow(box), "the box went with the dialog");
  return failures == 0 ? 0 : 1;
}

// A firmware upload from the about box to a board that never answers; closing the dialog while it
// runs ends within 3 seconds.
int UploadRunning(const wchar_t* robot, const wchar_t* com, const wchar_t* sim_log) {
  HWND dialog = FindDialog();
  if (dialog == nullptr) return 1;
  ConnectSerial(dialog, robot, com);
  Check(
      WaitFor([&] { return Text(GetDlgItem(dialog, 1014)).find(L"Connected") != std::wstring::npos; }, 30000),
      "the serial link is connected");
  PostMessageW(dialog, WM_SYSCOMMAND, 16, 0);  // the about box, from the system menu
  HWND about = nullptr;
  Check(WaitFor([&] { return (about = OwnedWindow(dialog, L"About Caldrix Trevask")) != nullptr; }, 10000),
        "the about box is up");
  PostMessageW(about, WM_COMMAND, MAKEWPARAM(1017, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(about, 1017)));
  HWND question = nullptr;
  Check(WaitFor([&] { return (question = OwnedWindow(about, L"Caldrix Trevask")) != nullptr; }, 10000),
        "the upload asks first");
  PostMessageW(question, WM_COMMAND, IDYES, 0);
  Check(WaitFor([&] { return FileHas(sim_log, "firmware upload starts"); }, 10000),
        "the board's loader starts");
  PostMessageW(about, WM_COMMAND, IDOK, 0);
  Check(WaitFor([&] { return !IsWindow(about); }, 10000), "the about box is closed, the upload runs on");
  const DWORD asked = GetTickCount();
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  WaitFor([&] { return !IsWindow(dialog); }, 20000);
  const DWORD took = GetTickCount() - asked;
  std::printf("closing took %lu ms\n", static_cast<unsigned long>(took));
  Check(!IsWindow(dialog) && took < 3000, "the dialog closes within 3 s during the upload");
  return failures == 0 ? 0 : 1;
}

struct BoxSearch {
  HWND owner;
  HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM search) {
  auto* s = reinterpret_cast<BoxSearch*>(search);
  if (GetWindow(window, GW_OWNER) == s->owner && IsWindowVisible(window) && ClassOf(window) == L"#32770") {
    s->found = window;
    return FALSE;
  }
  return TRUE;
}

// Clicks Connect without waiting for the handler (which shows a modal box), then takes the text of the
// message box the dialog shows and closes it; empty when none came.
std::wstring ConnectRefusedWith(HWND dialog) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(1012, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, 1012)));
  BoxSearch search{dialog, nullptr};
  const DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
  if (!WaitFor([&] { return !EnumThreadWindows(thread, &FindBox, reinterpret_cast<LPARAM>(&search)); },
               10000))
    return L"";
  const std::wstring text = Text(GetDlgItem(search.found, 0xFFFF));  // a message box's text control
  PostMessageW(search.found, WM_COMMAND, IDOK, 0);
  WaitFor([&] { return !IsWindow(search.found); }, 10000);
  return text;
}

bool RunToEnd(std::wstring command) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return false;
  WaitForSingleObject(process.hProcess, 60000);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"--box") == 0) return BoxUp(argv[2]);
  if (argc == 5 && std::wcscmp(argv[1], L"--upload") == 0) return UploadRunning(argv[2], argv[3], argv[4]);
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: dialog_driver ROBOT_ID UDP_PORT SECTIONS_EXE [PICTURE.bmp]\n");
    return 2;
  }
  HWND dialog = nullptr;
  Check(WaitFor(
            [&] {
              dialog = FindWindowW(nullptr, L"Caldrix Trevask");
              return dialog != nullptr && IsWindowVisible(dialog);
            },
            30000),
        "the dialog \"Caldrix Trevask\" is shown");
  if (dialog == nullptr) return 1;

  struct Control {
    int id;
    const wchar_t* class_name;
  };
  bool all = true;
  for (const Control& c : {Control{1016, L"Edit"},
                           {1000, L"Button"},
                           {1024, L"Button"},
                           {1001, L"Button"},
                           {1023, L"ComboBox"},
                           {1026, L"SysIPAddress32"},
                           {1025, L"Edit"},
                           {1011, L"Edit"},
                           {1012, L"Button"},
                           {1014, L"Edit"},
                           {132, L"Static"},
                           {1028, L"msctls_progress32"}}) {
    HWND control = GetDlgItem(dialog, c.id);
    all = all && control != nullptr && _wcsicmp(ClassOf(control).c_str(), c.class_name) == 0;
  }
  Check(all, "the template's controls with their numbers and classes");
  HWND connect = GetDlgItem(dialog, 1012), status = GetDlgItem(dialog, 1014), bar = GetDlgItem(dialog, 1028);
  Check(!IsWindowEnabled(connect), "Connect is disabled until a link kind is chosen");
  Check(Text(GetDlgItem(dialog, 1023)) == L"COM1", "the COM port box shows COM1");
  const HICON icon_down = reinterpret_cast<HICON>(SendDlgItemMessageW(dialog, 132, STM_GETICON, 0, 0));

  SendDlgItemMessageW(dialog, 1016, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[1]));
  Click(dialog, 1024);
  Check(IsDlgButtonChecked(dialog, 1024) == BST_CHECKED && IsDlgButtonChecked(dialog, 1000) != BST_CHECKED,
        "Wi-Fi is chosen alone");
  Check(IsWindowEnabled(GetDlgItem(dialog, 1026)) && IsWindowEnabled(GetDlgItem(dialog, 1025)) &&
            !IsWindowEnabled(GetDlgItem(dialog, 1023)) && IsWindowEnabled(connect),
        "address and port enabled, the COM port box not, Connect enabled");
  SendDlgItemMessageW(dialog, 1026, IPM_SETADDRESS, 0, MAKEIPADDRESS(127, 0, 0, 1));
  // A port a socket would wrap to another (99999 to 34463), and a robot ID the relay would cut.
  SendDlgItemMessageW(dialog, 1025, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"99999"));
  Check(ConnectRefusedWith(dialog) == L"Please Input IP Port Number", "port 99999 is refused as port 0 is");
  SendDlgItemMessageW(dialog, 1025, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[2]));
  const std::wstring too_long(30, L'r');
  SendDlgItemMessageW(dialog, 1016, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(too_long.c_str()));
  Check(ConnectRefusedWith(dialog) == L"Robot ID is longer than 29 bytes",
        "a robot ID of 30 bytes is refused");
  Check(Text(connect) == L"Connect", "nothing was started");
  SendDlgItemMessageW(dialog, 1016, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[1]));
  Click(dialog, 1012);
  Check(Text(connect) == L"Disconnect", "the button says Disconnect");
  Check(WaitFor([&] { return Text(status).find(L"Connected") != std::wstring::npos; }, 30000),
        "the status field says the link is connected");
  std::printf("status: %ls\n", Text(status).c_str());
  Check(WaitFor([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) == 5; }, 10000),
        "the Signal Robust bar is full");
  Check(WaitFor(
            [&] {
              return SendDlgItemMessageW(dialog, 132, STM_GETICON, 0, 0) !=
                     reinterpret_cast<LRESULT>(icon_down);
            },
            10000),
        "the link icon changed to the link-up icon");
  Check(WaitFor([&] { return IsIconic(dialog) != FALSE; }, 10000),
        "the dialog minimised itself when the link first came up");
  Check(!IsWindowEnabled(GetDlgItem(dialog, 1000)) && !IsWindowEnabled(GetDlgItem(dialog, 1024)),
        "the link kind cannot change while connected");
  if (argc == 5) {
    ShowWindowAsync(dialog, SW_RESTORE);
    WaitFor([&] { return IsIconic(dialog) == FALSE; }, 5000);
    Sleep(1000);  // painted
    Check(SaveWindowPicture(dialog, argv[4]), "the connected dialog's picture is saved");
  }

  // A client names a file that is no sound: the relay refuses it, and says so where the user looks.
  Check(RunToEnd(std::wstring(L"\"") + argv[3] + L"\" --robot " + argv[1] +
                 L" --put-text C:\\windows\\win.ini"),
        "a client asks for a file that is no sound");
  const std::wstring refused = L"the sound file is not played: ";
  Check(WaitFor(
            [&] {
              const std::wstring shown = Text(status);
              return shown.size() > refused.size() && shown.compare(0, refused.size(), refused) == 0;
            },
            10000),
        "the relay's refusal is in the status field");
  const std::wstring warning = Text(status);
  std::printf("status: %ls\n", warning.c_str());
  // The robot answers every 2 seconds, each answer with the same "Connected" text.
  Check(!WaitFor([&] { return Text(status) != warning; }, 4500), "it stays while the robot answers");
  SendDlgItemMessageW(dialog, 1016, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(too_long.c_str()));
  Check(Text(status) == L"Robot ID is longer than 29 bytes: the link keeps '" + std::wstring(argv[1]) + L"'",
        "a robot ID typed too long while connected is not taken, and the status field says so");

  Click(dialog, 1012);
  Check(Text(status) == L"WiFi Connection: Disconnecting", "Disconnect says so");
  Check(WaitFor([&] { return Text(connect) == L"Connect" && IsWindowEnabled(connect); }, 20000),
        "Connect is back once the link has ended");
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  Check(WaitFor([&] { return !IsWindow(dialog); }, 20000), "the dialog closes");
  return failures == 0 ? 0 : 1;
}
