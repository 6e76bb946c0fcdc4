#include "host/x11/X11Clipboard.h"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <array>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "host/x11/X11Connection.h"
#include "protocol/ClipboardExchange.h"
#include "protocol/UnicodeText.h"

namespace veltra {
namespace {

constexpr size_t kLargestCopy = ClipboardExchange::kMaximumBytes;
// INCR transfers served at once; further requestors that need one are refused until one ends.
constexpr size_t kMostTransfers = 16;

std::string latin1ToUtf8(std::string_view latin1) {
  std::string utf8;
  utf8.reserve(latin1.size());
  for (const char byte : latin1) {
    const auto code = static_cast<uint8_t>(byte);
    if (code < 0x80) {
      utf8 += byte;
    } else {
      utf8 += static_cast<char>(0xc0 | code >> 6);
      utf8 += static_cast<char>(0x80 | (code & 0x3f));
    }
  }
  return utf8;
}

// Nothing when the text holds a character beyond U+00FF (or is not UTF-8).
std::optional<std::string> utf8ToLatin1(std::string_view utf8) {
  if (!isValidUtf8(utf8)) return std::nullopt;
  std::string latin1;
  latin1.reserve(utf8.size());
  for (size_t index = 0; index < utf8.size(); ++index) {
    const auto code = static_cast<uint8_t>(utf8[index]);
    if (code < 0x80) {
      latin1 += utf8[index];
    } else if (code == 0xc2 || code == 0xc3) {  // U+0080..U+00FF; well-formed, so a byte follows
      latin1 +=
          static_cast<char>((code & 0x03) << 6 | (static_cast<uint8_t>(utf8[++index]) & 0x3f));
    } else {
      return std::nullopt;
    }
  }
  return latin1;
}

// 32-bit words that hold `bytes` and one more, so that a longer property shows in bytes_after.
uint32_t wordsBeyond(size_t bytes) {
  return static_cast<uint32_t>(bytes / 4 + 1);
}

}  // namespace

// One connection to the display with everything it holds; destroying it disconnects, which
// gives up the selections and destroys our windows.
struct X11Clipboard::Session {
  using Clock = std::chrono::steady_clock;

  // A copy of another program being read: converted into `property` of a window of its own.
  struct Incoming {
    xcb_window_t window = XCB_NONE;
    xcb_timestamp_t time = XCB_CURRENT_TIME;
    size_t step = 0;  // asking for UTF8_STRING, then STRING, then TEXT
    bool incremental = false;
    xcb_atom_t type = XCB_NONE;
    std::string data;
    Clock::time_point deadline;
  };
  // Our text going to a requestor in INCR pieces, each written once it deleted the last.
  struct Outgoing {
    xcb_window_t requestor = XCB_NONE;
    xcb_atom_t property = XCB_NONE;
    xcb_atom_t type = XCB_NONE;
    std::shared_ptr<const std::string> data;
    size_t offset = 0;
    Clock::time_point deadline;
  };

  static std::unique_ptr<Session> open(uint32_t displayID, const X11ClipboardOptions& options,
                                       std::function<void(Copy)> report);
  ~Session() {
    // The descriptor belongs to XCB: given back before the connection closes it.
    if (events) events->release();
  }

  void handle(const xcb_generic_event_t& event);
  void offer(std::string text);
  // Drops transfers whose other side kept us waiting past their deadline.
  void expire(Clock::time_point now);
  std::optional<Clock::time_point> nextDeadline() const;

  xcb_connection_t* c() const { return connection->get(); }

  // Copies of other programs.
  void ownerChanged(const xcb_xfixes_selection_notify_event_t& event);
  void convert();
  void tryNextTarget();
  void converted(const xcb_selection_notify_event_t& event);
  void readPiece();
  void finishCopy();
  void reportTooLarge();
  void dropIncoming();
  bool readable(xcb_atom_t type) const { return type == utf8 || type == XCB_ATOM_STRING; }

  // Our own text.
  void answer(const xcb_selection_request_event_t& request);
  bool serve(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target);
  bool put(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type,
           std::shared_ptr<const std::string> data);
  void sendPiece(std::vector<Outgoing>::iterator transfer);
  void endTransfer(std::vector<Outgoing>::iterator transfer);
  void lost(const xcb_selection_clear_event_t& event);

  std::unique_ptr<x11::Connection> connection;
  X11ClipboardOptions options;
  std::function<void(Copy)> report;
  uint8_t fixesEvent = 0;
  size_t largestProperty = 0;
  xcb_window_t window = XCB_NONE;
  xcb_atom_t clipboard = XCB_NONE, utf8 = XCB_NONE, text = XCB_NONE, targets = XCB_NONE,
             timestamp = XCB_NONE, incr = XCB_NONE, plainUtf8 = XCB_NONE, property = XCB_NONE;

  std::optional<Incoming> incoming;

  std::shared_ptr<const std::string> offered;
  std::shared_ptr<const std::string> offeredLatin1;  // null when the text does not fit Latin-1
  bool ownsClipboard = false;
  bool ownsPrimary = false;
  xcb_timestamp_t ownedSince = XCB_CURRENT_TIME;
  std::vector<Outgoing> outgoing;

  // Bound to the clipboard queue's context; destroyed on it.
  std::optional<asio::posix::stream_descriptor> events;
  std::optional<asio::steady_timer> timer;
  bool watching = false;
};

std::unique_ptr<X11Clipboard::Session> X11Clipboard::Session::open(
    uint32_t displayID, const X11ClipboardOptions& options, std::function<void(Copy)> report) {
  auto session = std::make_unique<Session>();
  session->connection = x11::Connection::open(displayID);
  if (!session->connection) return nullptr;
  session->options = options;
  session->report = std::move(report);
  Session& s = *session;
  xcb_connection_t* c = s.c();

  xcb_prefetch_extension_data(c, &xcb_xfixes_id);
  const xcb_query_extension_reply_t* fixes = xcb_get_extension_data(c, &xcb_xfixes_id);
  if (!fixes || !fixes->present) return nullptr;
  s.fixesEvent = fixes->first_event;
  // XFIXES refuses clients that have not stated their version.
  x11::Reply<xcb_xfixes_query_version_reply_t> version(xcb_xfixes_query_version_reply(
      c, xcb_xfixes_query_version(c, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION), nullptr));
  if (!version) return nullptr;

  const std::array<std::pair<const char*, xcb_atom_t*>, 8> names{{
      {"CLIPBOARD", &s.clipboard},
      {"UTF8_STRING", &s.utf8},
      {"TEXT", &s.text},
      {"TARGETS", &s.targets},
      {"TIMESTAMP", &s.timestamp},
      {"INCR", &s.incr},
      {"text/plain;charset=utf-8", &s.plainUtf8},
      {"VELTRA_CLIPBOARD", &s.property},
  }};
  std::array<xcb_intern_atom_cookie_t, names.size()> cookies;
  for (size_t index = 0; index < names.size(); ++index) {
    const char* name = names[index].first;
    cookies[index] = xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name);
  }
  for (size_t index = 0; index < names.size(); ++index) {
    x11::Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(c, cookies[index], nullptr));
    if (!atom) return nullptr;
    *names[index].second = atom->atom;
  }

  // In 4-byte units, with BIG-REQUESTS enabled when the server has it; the margin is
  // ChangeProperty's own header.
  const size_t request = size_t{xcb_get_maximum_request_length(c)} * 4;
  if (request < 1024) return nullptr;
  s.largestProperty = request - 64;
  if (options.largestProperty != 0) {
    s.largestProperty = std::min(s.largestProperty, options.largestProperty);
  }

  s.window = xcb_generate_id(c);
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  const xcb_void_cookie_t created = xcb_create_window_checked(
      c, 0, s.window, s.connection->root(), 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  const xcb_void_cookie_t selected = xcb_xfixes_select_selection_input_checked(
      c, s.window, s.clipboard,
      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
  if (x11::Reply<xcb_generic_error_t> error{xcb_request_check(c, created)}) return nullptr;
  if (x11::Reply<xcb_generic_error_t> error{xcb_request_check(c, selected)}) return nullptr;
  if (s.connection->broken()) return nullptr;
  return session;
}

void X11Clipboard::Session::handle(const xcb_generic_event_t& event) {
  // Errors (a requestor's window gone, a transfer window destroyed under an owner) need nothing:
  // the transfer concerned ends by its deadline at the latest.
  switch (event.response_type & 0x7f) {
    case XCB_SELECTION_REQUEST:
      answer(reinterpret_cast<const xcb_selection_request_event_t&>(event));
      return;
    case XCB_SELECTION_CLEAR:
      lost(reinterpret_cast<const xcb_selection_clear_event_t&>(event));
      return;
    case XCB_SELECTION_NOTIFY:
      converted(reinterpret_cast<const xcb_selection_notify_event_t&>(event));
      return;
    case XCB_PROPERTY_NOTIFY: {
      const auto& change = reinterpret_cast<const xcb_property_notify_event_t&>(event);
      if (incoming && incoming->incremental && change.window == incoming->window &&
          change.atom == property && change.state == XCB_PROPERTY_NEW_VALUE) {
        readPiece();
      } else if (change.state == XCB_PROPERTY_DELETE) {
        const auto transfer =
            std::find_if(outgoing.begin(), outgoing.end(), [&](const Outgoing& candidate) {
              return candidate.requestor == change.window && candidate.property == change.atom;
            });
        if (transfer != outgoing.end()) sendPiece(transfer);
      }
      return;
    }
    default:
      if ((event.response_type & 0x7f) == fixesEvent + XCB_XFIXES_SELECTION_NOTIFY) {
        ownerChanged(reinterpret_cast<const xcb_xfixes_selection_notify_event_t&>(event));
      }
  }
}

void X11Clipboard::Session::ownerChanged(const xcb_xfixes_selection_notify_event_t& event) {
  if (event.selection != clipboard) return;
  if (event.owner == window) {
    ownedSince = event.selection_timestamp;
    return;
  }
  // Whatever was being read is no longer on the clipboard.
  dropIncoming();
  if (event.subtype != XCB_XFIXES_SELECTION_EVENT_SET_SELECTION_OWNER || event.owner == XCB_NONE) {
    return;
  }
  incoming.emplace();
  incoming->window = xcb_generate_id(c());
  incoming->time = event.timestamp;
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c(), 0, incoming->window, connection->root(), 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  convert();
}

void X11Clipboard::Session::convert() {
  const xcb_atom_t steps[] = {utf8, XCB_ATOM_STRING, text};
  xcb_convert_selection(c(), incoming->window, clipboard, steps[incoming->step], property,
                        incoming->time);
  incoming->deadline = Clock::now() + options.patience;
}

// The owner refused the last target or answered in a form we cannot read.
void X11Clipboard::Session::tryNextTarget() {
  if (++incoming->step == 3) {
    dropIncoming();
    return;
  }
  convert();
}

void X11Clipboard::Session::converted(const xcb_selection_notify_event_t& event) {
  if (!incoming || incoming->incremental || event.requestor != incoming->window ||
      event.selection != clipboard) {
    return;
  }
  if (event.property == XCB_NONE) {
    tryNextTarget();
    return;
  }
  // At most one byte beyond the limit is read: a larger value shows in bytes_after.
  x11::Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c(),
      xcb_get_property(c(), 0, incoming->window, property, XCB_GET_PROPERTY_TYPE_ANY, 0,
                       wordsBeyond(kLargestCopy)),
      nullptr));
  if (!reply) {
    dropIncoming();
    return;
  }
  if (reply->type == incr) {
    // The size announced is a lower bound; pieces are counted as they come all the same.
    if (reply->format == 32 && xcb_get_property_value_length(reply.get()) >= 4) {
      uint32_t announced = 0;
      std::memcpy(&announced, xcb_get_property_value(reply.get()), sizeof announced);
      if (announced > kLargestCopy) {
        reportTooLarge();
        return;
      }
    }
    incoming->incremental = true;
    incoming->deadline = Clock::now() + options.patience;
    // Deleting the property asks the owner for the first piece.
    xcb_delete_property(c(), incoming->window, property);
    return;
  }
  if (reply->format != 8 || !readable(reply->type)) {
    tryNextTarget();
    return;
  }
  const auto length = static_cast<size_t>(xcb_get_property_value_length(reply.get()));
  if (length + reply->bytes_after > kLargestCopy) {
    reportTooLarge();
    return;
  }
  incoming->type = reply->type;
  incoming->data.assign(static_cast<const char*>(xcb_get_property_value(reply.get())), length);
  finishCopy();
}

// The owner wrote the next INCR piece; an empty one ends the copy.
void X11Clipboard::Session::readPiece() {
  const size_t room = kLargestCopy - incoming->data.size();
  x11::Reply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(c(),
                             xcb_get_property(c(), 0, incoming->window, property,
                                              XCB_GET_PROPERTY_TYPE_ANY, 0, wordsBeyond(room)),
                             nullptr));
  if (!reply) {
    dropIncoming();
    return;
  }
  if (reply->type == XCB_NONE) return;  // not written after all
  const auto length = static_cast<size_t>(xcb_get_property_value_length(reply.get()));
  if (length == 0 && reply->bytes_after == 0) {
    finishCopy();
    return;
  }
  if (reply->format != 8 || !readable(reply->type)) {
    dropIncoming();
    return;
  }
  if (length + reply->bytes_after > room) {
    reportTooLarge();
    return;
  }
  if (incoming->type == XCB_NONE) incoming->type = reply->type;
  incoming->data.append(static_cast<const char*>(xcb_get_property_value(reply.get())), length);
  incoming->deadline = Clock::now() + options.patience;
  xcb_delete_property(c(), incoming->window, property);
}

void X11Clipboard::Session::finishCopy() {
  std::string copied =
      incoming->type == XCB_ATOM_STRING ? latin1ToUtf8(incoming->data) : std::move(incoming->data);
  dropIncoming();
  // Latin-1 grows in UTF-8.
  if (copied.size() > kLargestCopy) {
    report(Copy{.text = {}, .tooLarge = true});
    return;
  }
  report(Copy{.text = std::move(copied)});
}

void X11Clipboard::Session::reportTooLarge() {
  dropIncoming();
  report(Copy{.text = {}, .tooLarge = true});
}

// Destroying the window ends the transfer for the owner too: its next write fails.
void X11Clipboard::Session::dropIncoming() {
  if (!incoming) return;
  xcb_destroy_window(c(), incoming->window);
  incoming.reset();
}

void X11Clipboard::Session::offer(std::string value) {
  // A copy still being read is older than this text: reported, it would travel back and undo it.
  dropIncoming();
  std::optional<std::string> latin1 = utf8ToLatin1(value);
  offeredLatin1 = latin1 ? std::make_shared<const std::string>(std::move(*latin1)) : nullptr;
  offered = std::make_shared<const std::string>(std::move(value));
  // The time of ownership comes back with our own XFIXES event (ownerChanged).
  xcb_set_selection_owner(c(), window, clipboard, XCB_CURRENT_TIME);
  xcb_set_selection_owner(c(), window, XCB_ATOM_PRIMARY, XCB_CURRENT_TIME);
  ownsClipboard = ownsPrimary = true;
}

void X11Clipboard::Session::answer(const xcb_selection_request_event_t& request) {
  // Clients from before ICCCM 2 name no property: the target's name serves as one.
  const xcb_atom_t into = request.property == XCB_NONE ? request.target : request.property;
  const bool owned =
      request.owner == window && ((request.selection == clipboard && ownsClipboard) ||
                                  (request.selection == XCB_ATOM_PRIMARY && ownsPrimary));
  const bool served = owned && offered && serve(request.requestor, into, request.target);

  // SendEvent takes the 32 bytes of a wire event; the notification fills the first 24.
  xcb_selection_notify_event_t notify{};
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = request.time;
  notify.requestor = request.requestor;
  notify.selection = request.selection;
  notify.target = request.target;
  notify.property = served ? into : XCB_NONE;
  std::array<char, 32> wire{};
  static_assert(sizeof notify <= wire.size());
  std::memcpy(wire.data(), &notify, sizeof notify);
  xcb_send_event(c(), 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, wire.data());
}

bool X11Clipboard::Session::serve(xcb_window_t requestor, xcb_atom_t into, xcb_atom_t target) {
  if (target == targets) {
    std::vector<xcb_atom_t> offers{targets, timestamp, utf8, plainUtf8, text};
    if (offeredLatin1) offers.push_back(XCB_ATOM_STRING);
    xcb_change_property(c(), XCB_PROP_MODE_REPLACE, requestor, into, XCB_ATOM_ATOM, 32,
                        static_cast<uint32_t>(offers.size()), offers.data());
    return true;
  }
  if (target == timestamp) {
    xcb_change_property(c(), XCB_PROP_MODE_REPLACE, requestor, into, XCB_ATOM_INTEGER, 32, 1,
                        &ownedSince);
    return true;
  }
  if (target == utf8 || target == plainUtf8 || target == text) {
    return put(requestor, into, target == text ? utf8 : target, offered);
  }
  if (target == XCB_ATOM_STRING && offeredLatin1) {
    return put(requestor, into, XCB_ATOM_STRING, offeredLatin1);
  }
  return false;
}

bool X11Clipboard::Session::put(xcb_window_t requestor, xcb_atom_t into, xcb_atom_t type,
                                std::shared_ptr<const std::string> data) {
  if (data->size() <= largestProperty) {
    xcb_change_property(c(), XCB_PROP_MODE_REPLACE, requestor, into, type, 8,
                        static_cast<uint32_t>(data->size()), data->data());
    return true;
  }
  // A requestor asking again into the same property starts over.
  const auto same = std::find_if(outgoing.begin(), outgoing.end(), [&](const Outgoing& transfer) {
    return transfer.requestor == requestor && transfer.property == into;
  });
  if (same != outgoing.end()) {
    outgoing.erase(same);
  } else if (outgoing.size() >= kMostTransfers) {
    return false;
  }
  // Our own event mask on the requestor's window: its deletions are the requests for pieces.
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c(), requestor, XCB_CW_EVENT_MASK, &mask);
  const auto size = static_cast<uint32_t>(data->size());
  xcb_change_property(c(), XCB_PROP_MODE_REPLACE, requestor, into, incr, 32, 1, &size);
  outgoing.push_back({requestor, into, type, std::move(data), 0, Clock::now() + options.patience});
  return true;
}

// The requestor deleted the property: it took the last piece (or the INCR announcement).
void X11Clipboard::Session::sendPiece(std::vector<Outgoing>::iterator transfer) {
  const size_t length = std::min(largestProperty, transfer->data->size() - transfer->offset);
  xcb_change_property(c(), XCB_PROP_MODE_REPLACE, transfer->requestor, transfer->property,
                      transfer->type, 8, static_cast<uint32_t>(length),
                      transfer->data->data() + transfer->offset);
  transfer->offset += length;
  transfer->deadline = Clock::now() + options.patience;
  // The empty piece ends the transfer; nothing more is owed.
  if (length == 0) endTransfer(transfer);
}

void X11Clipboard::Session::endTransfer(std::vector<Outgoing>::iterator transfer) {
  const xcb_window_t requestor = transfer->requestor;
  outgoing.erase(transfer);
  const bool more = std::any_of(outgoing.begin(), outgoing.end(), [&](const Outgoing& other) {
    return other.requestor == requestor;
  });
  if (!more) {
    const uint32_t none = XCB_EVENT_MASK_NO_EVENT;
    xcb_change_window_attributes(c(), requestor, XCB_CW_EVENT_MASK, &none);
  }
}

void X11Clipboard::Session::lost(const xcb_selection_clear_event_t& event) {
  if (event.owner != window) return;
  if (event.selection == clipboard) ownsClipboard = false;
  if (event.selection == XCB_ATOM_PRIMARY) ownsPrimary = false;
  if (!ownsClipboard && !ownsPrimary) {
    // Transfers under way keep their own reference.
    offered.reset();
    offeredLatin1.reset();
  }
}

void X11Clipboard::Session::expire(Clock::time_point now) {
  if (incoming && incoming->deadline <= now) dropIncoming();
  for (auto transfer = outgoing.begin(); transfer != outgoing.end();) {
    if (transfer->deadline <= now) {
      endTransfer(transfer);
      transfer = outgoing.begin();
    } else {
      ++transfer;
    }
  }
}

std::optional<X11Clipboard::Session::Clock::time_point> X11Clipboard::Session::nextDeadline()
    const {
  std::optional<Clock::time_point> next;
  if (incoming) next = incoming->deadline;
  for (const Outgoing& transfer : outgoing) {
    if (!next || transfer.deadline < *next) next = transfer.deadline;
  }
  return next;
}

X11Clipboard::X11Clipboard(X11ClipboardOptions options)
    : options_(options), queue_("veltra.clipboard") {}

X11Clipboard::~X11Clipboard() {
  queue_.runSync([this] { session_.reset(); });
}

void X11Clipboard::start(uint32_t displayID) {
  queue_.post([this, displayID] { open(displayID); });
}

void X11Clipboard::setText(std::string text) {
  queue_.post([this, text = std::move(text)]() mutable {
    if (!session_) return;
    session_->offer(std::move(text));
    pump();
  });
}

void X11Clipboard::open(uint32_t displayID) {
  if (session_) return;
  session_ = Session::open(displayID, options_, [this](Copy copy) {
    if (onCopy) onCopy(std::move(copy));
  });
  if (!session_) return;
  session_->events.emplace(queue_.context(), xcb_get_file_descriptor(session_->c()));
  session_->timer.emplace(queue_.context());
  pump();
}

void X11Clipboard::pump() {
  Session& s = *session_;
  s.expire(Session::Clock::now());
  // Flushing may read events into XCB's queue as well, and handling them may write more: done
  // once a flush is followed by no event, so that the descriptor's readiness tells of the next.
  for (bool handled = true; handled && !s.connection->broken();) {
    xcb_flush(s.c());
    handled = false;
    while (x11::Reply<xcb_generic_event_t> event{xcb_poll_for_event(s.c())}) {
      s.handle(*event);
      handled = true;
    }
  }
  if (s.connection->broken()) {
    session_.reset();
    return;
  }
  armTimer();
  watch();
}

void X11Clipboard::watch() {
  if (session_->watching) return;
  session_->watching = true;
  session_->events->async_wait(asio::posix::stream_descriptor::wait_read,
                               [this](const std::error_code& error) {
                                 if (!session_) return;  // released with its session
                                 session_->watching = false;
                                 if (error) {
                                   session_.reset();
                                   return;
                                 }
                                 pump();
                               });
}

// Re-arming cancels the wait before: its handler sees the error and leaves.
void X11Clipboard::armTimer() {
  const std::optional<Session::Clock::time_point> next = session_->nextDeadline();
  if (!next) {
    session_->timer->cancel();
    return;
  }
  session_->timer->expires_at(*next);
  session_->timer->async_wait([this](const std::error_code& error) {
    if (error || !session_) return;
    pump();
  });
}

}  // namespace veltra
