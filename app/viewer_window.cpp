#include "app/viewer_window.h"

#include <QGuiApplication>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/document_opener.h"
#include "platform/running_process.h"

#if DGC_WITH_XCB
#include <qguiapplication_platform.h>
#include <xcb/xcb.h>
#endif

namespace {

#if DGC_WITH_XCB

template <typename Reply>
using Owned = std::unique_ptr<Reply, decltype(&std::free)>;

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
  const Owned<xcb_intern_atom_reply_t> reply(
      xcb_intern_atom_reply(
          connection,
          xcb_intern_atom(connection, 1, static_cast<uint16_t>(std::strlen(name)), name), nullptr),
      &std::free);
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The 32-bit values of a window's property, at most limit of them.
std::vector<uint32_t> Values(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property,
                             xcb_atom_t type, uint32_t limit) {
  const Owned<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(
          connection, xcb_get_property(connection, 0, window, property, type, 0, limit), nullptr),
      &std::free);
  if (!reply || reply->format != 32) return {};
  const auto* values = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
  return std::vector<uint32_t>(values, values + xcb_get_property_value_length(reply.get()) / 4);
}

// The window manager lists the top-level windows it manages
// (_NET_CLIENT_LIST, oldest first) and each client names its process
// (_NET_WM_PID); the newest of the viewer's is asked for as the pager asks
// (source 2), which a window manager grants without its focus-stealing rules:
// the operator has just pressed Help.
bool RaiseUnderX11(const std::vector<long long>& processes) {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (x11 == nullptr || x11->connection() == nullptr) return false;
  xcb_connection_t* connection = x11->connection();
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  if (screen == nullptr) return false;
  const xcb_atom_t clients = Atom(connection, "_NET_CLIENT_LIST");
  const xcb_atom_t processId = Atom(connection, "_NET_WM_PID");
  const xcb_atom_t active = Atom(connection, "_NET_ACTIVE_WINDOW");
  if (clients == XCB_ATOM_NONE || processId == XCB_ATOM_NONE || active == XCB_ATOM_NONE)
    return false;
  const std::vector<uint32_t> windows =
      Values(connection, screen->root, clients, XCB_ATOM_WINDOW, 1 << 16);
  for (auto window = windows.rbegin(); window != windows.rend(); ++window) {
    const std::vector<uint32_t> pid = Values(connection, *window, processId, XCB_ATOM_CARDINAL, 1);
    if (pid.empty() || std::find(processes.begin(), processes.end(), pid[0]) == processes.end())
      continue;
    xcb_client_message_event_t request{};
    request.response_type = XCB_CLIENT_MESSAGE;
    request.format = 32;
    request.window = *window;
    request.type = active;
    request.data.data32[0] = 2;  // source: a pager, as the operator's own request
    request.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection, 0, screen->root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&request));
    xcb_flush(connection);
    return true;
  }
  return false;
}

#endif

}  // namespace

bool RaiseViewerWindow(long long viewer) {
  const std::vector<long long> processes = ProcessTree(viewer);
  if (processes.empty()) return false;
  if (SystemOpensDocuments()) return BringViewerToFront(processes);
#if DGC_WITH_XCB
  if (QGuiApplication::platformName() == "xcb") return RaiseUnderX11(processes);
#endif
  return false;
}
