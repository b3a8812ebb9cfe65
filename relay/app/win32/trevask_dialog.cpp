// trevask-dialog on Windows: the relay's dialog from its resource templates (102, and 100 for the
// about box). The user picks the link kind, the COM port, the robot's address and port or its
// module's Bluetooth address, and the robot ID, presses Connect and watches the status text, the
// link icon and the "Signal Robust" bar: the link's events rendered in the template's controls.
//
// The link manager's threads never touch a control: they read the user's choices from a snapshot
// the dialog keeps current on its own thread, and every change they report, message boxes too, is
// posted to that thread. A link thread never waits for the dialog's thread, which may be joining it.
#include <windows.h>
// The system's headers after windows.h, which they build on.
#include <commctrl.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "relay/app/dialog_rules.h"
#include "relay/app/settings.h"
#include "relay/app/win32/resource_ids.h"
#include "relay/link/link_manager.h"

namespace relay {
namespace {

constexpr UINT kRunOnDialogThread = WM_APP + 1;  // lParam: a heap std::function<void()> to run
constexpr wchar_t kTitle[] = L"Caldrix Trevask";

std::wstring Wide(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& s) {
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// The first line of a text, at most `max` characters, as the link manager reads fields.
std::string FirstLine(const std::string& text, std::size_t max) {
  return text.substr(0, std::min(text.find_first_of("\r\n"), max));
}

class CTrevaskDlg : public LinkEvents {
 public:
  explicit CTrevaskDlg(std::string settings_path) : settings_path_(std::move(settings_path)) {}

  INT_PTR Run() {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_TREVASK_DIALOG), nullptr,
                           &DialogProc, reinterpret_cast<LPARAM>(this));
  }

  // The link's events, from any thread.
  LinkConfig Config() override {
    std::lock_guard<std::mutex> guard(snapshot_mutex_);
    return snapshot_;
  }
  void Status(LinkMoment moment, const std::string& text) override {
    Post([this, text] {
      if (const std::optional<std::string> shown = status_line_.OnStatus(text))
        SetDlgItemTextW(window_, IDC_STATUS, Wide(*shown).c_str());
    });
    if (moment == LinkMoment::kPortOpen) Post([this] { SetControlsForConnected(); });
  }
  void PortOpened() override {
    Post([this] { Enable(IDC_CONNECT, true); });
    SetQualityBar(timing::kMissedForLoss);
  }
  void AnswersMissed(int missed) override { SetQualityBar(timing::kMissedForLoss - missed); }
  void LinkChanged(bool up, bool first) override {
    Post([this, up] {
      SendDlgItemMessageW(window_, IDC_LINK_ICON, STM_SETICON,
                          reinterpret_cast<WPARAM>(up ? link_up_icon_ : link_down_icon_), 0);
    });
    if (up && first) Post([this] { ShowWindow(window_, SW_MINIMIZE); });
  }
  void GaveUp() override {
    Post([this] { Disconnect(); });
  }
  void Message(MessageKind kind, const std::string& text) override {
    if (kind == MessageKind::kFailure || kind == MessageKind::kSuccess) {
      // Posted: the calling link thread goes on at once, and the box is up while the link ends.
      std::string shown = text;
      while (!shown.empty() && shown.back() == '\n') shown.pop_back();
      Post([this, t = Wide(shown)] { MessageBoxW(window_, t.c_str(), kTitle, MB_OK); });
      return;
    }
    std::fprintf(stderr, "trevask: %s\n", text.c_str());
    if (kind == MessageKind::kNotice) Post([this, text] { ShowWarning(text); });
  }

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrW(window, DWLP_USER, lparam);
    auto* self = reinterpret_cast<CTrevaskDlg*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) return FALSE;
    switch (message) {
      case WM_INITDIALOG:
        self->window_ = window;
        self->OnInitDialog();
        return TRUE;
      case kRunOnDialogThread: {
        std::unique_ptr<std::function<void()>> fn(reinterpret_cast<std::function<void()>*>(lparam));
        (*fn)();
        return TRUE;
      }
      case WM_SYSCOMMAND:
        if ((wparam & 0xFFF0) == IDM_ABOUTBOX) {
          self->ShowAbout();
          return TRUE;
        }
        return FALSE;
      case WM_COMMAND:
        self->OnCommand(LOWORD(wparam), HIWORD(wparam));
        return TRUE;
      case WM_NOTIFY:
        if (reinterpret_cast<NMHDR*>(lparam)->idFrom == IDC_IP_ADDRESS) self->UpdateSnapshot();
        return FALSE;
      case WM_CLOSE:
        self->OnClose();
        return TRUE;
      default:
        return FALSE;
    }
  }

  // Runs `fn` on the dialog's thread, later; never waits for that thread.
  void Post(std::function<void()> fn) {
    auto* heap = new std::function<void()>(std::move(fn));
    if (!PostMessageW(window_, kRunOnDialogThread, 0, reinterpret_cast<LPARAM>(heap))) delete heap;
  }
  void Enable(int id, bool on) { EnableWindow(GetDlgItem(window_, id), on ? TRUE : FALSE); }
  void SetQualityBar(int value) {
    Post([this, value] {
      SendDlgItemMessageW(window_, IDC_QUALITY, PBM_SETPOS, static_cast<WPARAM>(value), 0);
    });
  }
  std::string Text(int id) const {
    wchar_t buffer[256] = {};
    GetDlgItemTextW(window_, id, buffer, 256);
    return Narrow(buffer);
  }
  bool Checked(int id) const { return IsDlgButtonChecked(window_, id) == BST_CHECKED; }
  // A warning in the status field (a program with a window has no standard error a user sees).
  void ShowWarning(const std::string& text) {
    SetDlgItemTextW(window_, IDC_STATUS, Wide(status_line_.OnWarning(text)).c_str());
  }

  void OnInitDialog() {
    HMENU menu = GetSystemMenu(window_, FALSE);
    wchar_t about[64] = {};
    if (menu != nullptr && LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUTBOX, about, 64) > 0) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about);
    }
    HINSTANCE module = GetModuleHandleW(nullptr);
    HICON icon = LoadIconW(module, MAKEINTRESOURCEW(IDR_MAINFRAME));
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    link_down_icon_ = LoadIconW(module, MAKEINTRESOURCEW(IDI_LINK_DOWN));
    link_up_icon_ = LoadIconW(module, MAKEINTRESOURCEW(IDI_LINK_UP));

    // The stored address is kept whole: the field's limit is for typing. Until the user edits the
    // field, the handshake sends, and the settings keep, the text as it was stored.
    const RelaySettings settings = LoadSettings(settings_path_);
    bt_stored_ = settings.bt_address;
    SetDlgItemTextW(window_, IDC_BT_ADDRESS, Wide(bt_stored_.substr(0, 12)).c_str());
    SetDlgItemTextW(window_, IDC_IP_PORT, Wide(settings.wifi_port).c_str());
    in_addr address{};
    if (inet_pton(AF_INET, settings.wifi_ip.c_str(), &address) == 1 && address.s_addr != INADDR_NONE)
      SendDlgItemMessageW(window_, IDC_IP_ADDRESS, IPM_SETADDRESS, 0,
                          static_cast<LPARAM>(ntohl(address.s_addr)));
    bt_edited_ = false;

    Enable(IDC_CONNECT, false);
    SendDlgItemMessageW(window_, IDC_BT_ADDRESS, EM_LIMITTEXT, 12, 0);
    for (int i = 1; i <= 8; ++i)
      SendDlgItemMessageW(window_, IDC_COM_PORT, CB_ADDSTRING, 0,
                          reinterpret_cast<LPARAM>(Wide("COM" + std::to_string(i)).c_str()));
    SendDlgItemMessageW(window_, IDC_COM_PORT, CB_SETCURSEL, 0, 0);
    for (int id : {IDC_SERIAL_RADIO, IDC_BLUETOOTH_RADIO, IDC_WIFI_RADIO}) Enable(id, true);
    for (int id : {IDC_COM_PORT, IDC_BT_ADDRESS, IDC_IP_ADDRESS, IDC_IP_PORT}) Enable(id, false);
    SendDlgItemMessageW(window_, IDC_QUALITY, PBM_SETRANGE, 0, MAKELPARAM(0, 5));
    SendDlgItemMessageW(window_, IDC_QUALITY, PBM_SETPOS, 0, 0);
    Enable(IDC_QUALITY, true);

    link_ = std::make_unique<CLinkManager>(*this);
    // The connection thread's last act: a Disconnect or a close that waits for it goes on then
    // (never after a fixed pause).
    link_->SetConnectionEndHook([this] { Post([this] { OnLinkEnded(); }); });
    UpdateSnapshot();
  }

  void OnCommand(int id, int code) {
    switch (id) {
      case IDC_SERIAL_RADIO:
      case IDC_BLUETOOTH_RADIO:
      case IDC_WIFI_RADIO:
        if (code == BN_CLICKED) OnRadio(id);
        return;
      case IDC_CONNECT:
        if (code == BN_CLICKED) OnConnect();
        return;
      case IDC_BT_ADDRESS:
        if (code == EN_CHANGE) {
          bt_edited_ = bt_edited_ || GetFocus() == GetDlgItem(window_, IDC_BT_ADDRESS);
          UpdateSnapshot();
        }
        return;
      case IDC_ROBOT_ID:
        if (code == EN_CHANGE) {
          UpdateSnapshot();
          const std::string typed = Text(IDC_ROBOT_ID);
          if (link_running_ && !RobotIdFits(typed))
            ShowWarning(std::string(RobotIdTooLongText()) + ": the link keeps '" + Config().robot_id + "'");
        }
        return;
      case IDC_IP_PORT:
        if (code == EN_CHANGE) UpdateSnapshot();
        return;
      case IDC_COM_PORT:
        if (code == CBN_EDITCHANGE || code == CBN_SELCHANGE) UpdateSnapshot();
        return;
      case IDCANCEL:  // Escape, or the window's close box
        OnClose();
        return;
      default:
        return;
    }
  }

  // A radio: the clicked one alone selected, then the other controls as that link kind needs them.
  void OnRadio(int id) {
    radios_.serial = id == IDC_SERIAL_RADIO ? 0 : -1;
    radios_.bluetooth = id == IDC_BLUETOOTH_RADIO ? 0 : -1;
    radios_.wifi = id == IDC_WIFI_RADIO ? 0 : -1;
    CheckDlgButton(window_, IDC_SERIAL_RADIO, radios_.serial == 0 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(window_, IDC_BLUETOOTH_RADIO, radios_.bluetooth == 0 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(window_, IDC_WIFI_RADIO, radios_.wifi == 0 ? BST_CHECKED : BST_UNCHECKED);
    Enable(IDC_CONNECT, true);
    EnableForKind();
    UpdateSnapshot();
  }

  void EnableForKind() {
    const KindControls k = ControlsFor(radios_);
    Enable(IDC_COM_PORT, k.com_port);
    Enable(IDC_BT_ADDRESS, k.bt_address);
    Enable(IDC_IP_ADDRESS, k.ip_address);
    Enable(IDC_IP_PORT, k.ip_port);
  }

  uint32_t IpAddress() const {
    DWORD value = 0;
    if (SendDlgItemMessageW(window_, IDC_IP_ADDRESS, IPM_ISBLANK, 0, 0) != 0) return 0;
    SendDlgItemMessageW(window_, IDC_IP_ADDRESS, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&value));
    return value;
  }

  std::string BluetoothAddressText() const { return bt_edited_ ? Text(IDC_BT_ADDRESS) : bt_stored_; }

  void UpdateSnapshot() {
    if (window_ == nullptr) return;
    LinkConfig c;
    c.kind = ChosenKind(radios_);
    c.com_port = ComPortFromBoxText(Text(IDC_COM_PORT));
    c.ip_address = htonl(IpAddress());
    c.udp_port = static_cast<int>(PortFieldValue(FirstLine(Text(IDC_IP_PORT), 10)));
    c.robot_id = Text(IDC_ROBOT_ID);
    c.bt_address = FirstLine(BluetoothAddressText(), 63);
    std::lock_guard<std::mutex> guard(snapshot_mutex_);
    // A robot ID too long for the section names is never handed to the link, which would cut it: a
    // reconnect keeps the name the link has.
    if (!RobotIdFits(c.robot_id)) c.robot_id = snapshot_.robot_id;
    snapshot_ = std::move(c);
  }

  void OnConnect() {
    ConnectFields fields;
    fields.ip_address = IpAddress();
    fields.port = PortFieldValue(FirstLine(Text(IDC_IP_PORT), 10));
    fields.com_text = Text(IDC_COM_PORT);
    fields.bt_address = FirstLine(BluetoothAddressText(), 63);
    if (const char* refusal = ConnectRefusal(radios_, fields); refusal != nullptr) {
      MessageBoxW(window_, Wide(refusal).c_str(), kTitle, MB_OK);
      return;
    }
    if (link_running_) {
      Disconnect();
      return;
    }
    if (!RobotIdFits(Text(IDC_ROBOT_ID))) {
      MessageBoxW(window_, Wide(RobotIdTooLongText()).c_str(), kTitle, MB_OK);
      return;
    }
    UpdateSnapshot();
    if (!link_->StartConnection()) {
      std::fprintf(stderr,
                   "trevask: the previous connection is still ending; press Connect again in a moment\n");
      return;
    }
    link_running_ = true;
    SetDlgItemTextW(window_, IDC_CONNECT, L"Disconnect");
    SetControlsForConnected();
  }

  void SetControlsForConnected() {
    for (int id : {IDC_BLUETOOTH_RADIO, IDC_SERIAL_RADIO, IDC_BT_ADDRESS, IDC_WIFI_RADIO, IDC_COM_PORT})
      Enable(id, false);
  }

  void Disconnect() {
    Enable(IDC_CONNECT, false);
    SetDlgItemTextW(window_, IDC_STATUS, Wide(DisconnectingText(radios_)).c_str());
    link_->RequestStop();
    link_running_ = false;
    // The button comes back as soon as the connection thread has ended (OnLinkEnded); when it has
    // ended already (it gave up), at once.
    RestoreWhenTheLinkHasEnded();
  }

  void OnLinkEnded() {
    if (closing_)
      FinishClosing();
    else
      RestoreWhenTheLinkHasEnded();
  }

  // An end heard after a new Connect belongs to the old thread and changes nothing.
  void RestoreWhenTheLinkHasEnded() {
    if (link_ == nullptr || link_running_ || link_->ConnectionRunning()) return;
    SetDlgItemTextW(window_, IDC_CONNECT, L"Connect");
    Enable(IDC_CONNECT, true);
    link_->ForgetFirstAnswer();
    for (int radio : {IDC_SERIAL_RADIO, IDC_WIFI_RADIO, IDC_BLUETOOTH_RADIO}) Enable(radio, true);
    EnableForKind();
  }

  // Stop and settings written; the dialog ends as soon as the connection thread has ended
  // (OnLinkEnded), answering meanwhile.
  void OnClose() {
    if (closing_) return;
    closing_ = true;
    link_->RequestStop();
    RelaySettings s;
    const uint32_t address = IpAddress();
    s.wifi_ip = std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
                std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
    s.wifi_port = FirstLine(Text(IDC_IP_PORT), 10);
    s.bt_address = FirstLine(BluetoothAddressText(), 63);
    if (const platform::Result saved = SaveSettings(settings_path_, s); !saved.ok())
      std::fprintf(stderr, "trevask: the settings were not saved: %s\n", saved.message.c_str());
    if (!link_->ConnectionRunning()) FinishClosing();
  }

  // A window callback (the system's calling convention, which a lambda lacks on 32-bit Windows):
  // ends the box OTHER if the dialog OWNER owns it.
  static BOOL CALLBACK EndOwnedBox(HWND other, LPARAM owner) {
    wchar_t kind[16] = {};
    GetClassNameW(other, kind, 16);
    if (GetWindow(other, GW_OWNER) == reinterpret_cast<HWND>(owner) && std::wcscmp(kind, L"#32770") == 0)
      EndDialog(other, IDCANCEL);
    return TRUE;
  }

  void FinishClosing() {
    if (link_ == nullptr) return;
    // The link's teardown joins its threads, none of which waits for this one.
    about_link_ = nullptr;
    link_.reset();
    // The boxes (and the about box) this dialog owns go with it: nothing is left for the user to
    // close, and a box's own loop ends before the dialog's.
    EnumWindows(&EndOwnedBox, reinterpret_cast<LPARAM>(window_));
    // What the link posted and this thread has not run yet is dropped with its heap copies.
    MSG pending;
    while (PeekMessageW(&pending, window_, kRunOnDialogThread, kRunOnDialogThread, PM_REMOVE))
      delete reinterpret_cast<std::function<void()>*>(pending.lParam);
    EndDialog(window_, 0);
  }

  // The about box; Ctrl+Shift+F shows its hidden firmware button, a service task.
  void ShowAbout() {
    about_link_ = link_.get();
    HHOOK hook = SetWindowsHookExW(WH_MSGFILTER, &AboutKeys, nullptr, GetCurrentThreadId());
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), window_, &AboutProc, 0);
    if (hook != nullptr) UnhookWindowsHookEx(hook);
  }

  static LRESULT CALLBACK AboutKeys(int code, WPARAM wparam, LPARAM lparam) {
    const MSG* m = reinterpret_cast<const MSG*>(lparam);
    if (code == MSGF_DIALOGBOX && m->message == WM_KEYDOWN && m->wParam == 'F' &&
        GetKeyState(VK_CONTROL) < 0 && GetKeyState(VK_SHIFT) < 0) {
      ShowWindow(GetDlgItem(GetAncestor(m->hwnd, GA_ROOT), IDC_FIRMWARE), SW_SHOW);
      return 1;
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
  }

  static INT_PTR CALLBACK AboutProc(HWND window, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
      case WM_INITDIALOG:
        return TRUE;
      case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
          EndDialog(window, 0);
        } else if (LOWORD(wparam) == IDC_FIRMWARE && about_link_ != nullptr &&
                   MessageBoxW(window, L"Update VCB6020 Firmware?", kTitle, MB_YESNOCANCEL) == IDYES) {
          about_link_->StartFirmwareUpload();
        }
        return TRUE;
      case WM_SETCURSOR:
        if (about_link_ != nullptr && about_link_->UploadMode()) {
          SetCursor(LoadCursorA(nullptr, IDC_WAIT));
          SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
          return TRUE;
        }
        return FALSE;
      default:
        return FALSE;
    }
  }

  static inline CLinkManager* about_link_ = nullptr;
  std::string settings_path_;
  HWND window_ = nullptr;
  HICON link_down_icon_ = nullptr, link_up_icon_ = nullptr;
  std::string bt_stored_;
  bool bt_edited_ = false;
  RadioValues radios_;
  CStatusLine status_line_;  // used on the dialog's thread only
  bool link_running_ = false;
  bool closing_ = false;
  std::mutex snapshot_mutex_;
  LinkConfig snapshot_;
  std::unique_ptr<CLinkManager> link_;
};

}  // namespace
}  // namespace relay

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  INITCOMMONCONTROLSEX controls{sizeof controls,
                                ICC_PROGRESS_CLASS | ICC_INTERNET_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  relay::CTrevaskDlg dialog(relay::SettingsPath());
  dialog.Run();
  return 0;
}
