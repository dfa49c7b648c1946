// view: the boards live in the browser. One reader thread per board takes readings as fast as
// asked and hands each to the board's display state and, while one runs, to its recording (the
// rows and formats of read, written at once: a recording never drops). A ticker sends the
// display state to every open page by Server-Sent Events 25 times a second (a display rate,
// under the 30 a screen can show), each channel's minimum and maximum since the last update
// included, so a spike always shows. Each page has a bounded queue: a page that cannot keep
// up loses display updates, never events, and never slows a reader.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <httplib.h>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "formats.h"
#include "kavro/recording.h"
#include "output.h"
#include "platform/platform.h"
#include "report.h"
#include "subcommands.h"
#include "web/page.h"

namespace kavro::tool {

namespace {

using nlohmann::json;

constexpr int kWorkers = 64;             // connections served at once
constexpr int kStreams = kWorkers - 8;   // of which event streams (the rest for requests)
constexpr std::size_t kBacklog = 256;    // accepted connections waiting for a worker
constexpr std::size_t kDisplayQueue = 8;  // display updates a page may have waiting
constexpr std::size_t kEventQueue = 256;  // other messages; beyond, the page is dropped
constexpr std::size_t kMaxBody = 64 * 1024;
constexpr int kEventLog = 50;

std::atomic<platform::StopSignal> g_stop_signal{platform::StopSignal::kNone};
void OnStopSignal(platform::StopSignal signal) {
  g_stop_signal = signal;
}

std::string Dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string EventKind(BoardEventKind k) {
  return k == BoardEventKind::kDisconnected  ? "disconnected"
         : k == BoardEventKind::kReconnected ? "reconnected"
                                             : "gave up";
}

// The connections the server holds: a fixed set of workers and a bounded backlog. When both
// are full the accept loop waits, and further clients wait in the kernel's listen queue.
class BoundedPool final : public httplib::TaskQueue {
 public:
  BoundedPool() {
    for (int i = 0; i < kWorkers; ++i) workers_.emplace_back([this] { Work(); });
  }
  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lock(m_);
    room_.wait(lock, [this] { return jobs_.size() < kBacklog || stopping_; });
    if (stopping_) return;
    jobs_.push_back(std::move(fn));
    ready_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(m_);
      stopping_ = true;
    }
    ready_.notify_all();
    room_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(m_);
        ready_.wait(lock, [this] { return !jobs_.empty() || stopping_; });
        if (jobs_.empty()) return;  // stopping, with nothing left to serve
        job = std::move(jobs_.front());
        jobs_.pop_front();
        room_.notify_one();
      }
      job();
    }
  }
  std::mutex m_;
  std::condition_variable ready_, room_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> workers_;
  bool stopping_ = false;
};

// One open page's event stream: what waits to be sent to it.
struct Page {
  std::mutex m;
  std::condition_variable cv;
  // (a display update, the SSE message); one message is shared by every page.
  std::deque<std::pair<bool, std::shared_ptr<const std::string>>> queue;
  bool dropped = false;                            // too far behind: the stream ends
  std::uint64_t display_lost = 0;
};

class Pages {
 public:
  std::shared_ptr<Page> Add() {
    std::lock_guard<std::mutex> lock(m_);
    if (static_cast<int>(pages_.size()) >= kStreams) return nullptr;
    pages_.push_back(std::make_shared<Page>());
    return pages_.back();
  }
  void Remove(const std::shared_ptr<Page>& page) {
    std::lock_guard<std::mutex> lock(m_);
    pages_.erase(std::remove(pages_.begin(), pages_.end(), page), pages_.end());
  }
  // Queues an SSE message for every page. A display update replaces the oldest one waiting
  // when the page's display queue is full; other messages are kept until the page is too far
  // behind to catch up, and then its stream ends (the browser opens it again and reloads).
  void Send(const std::string& event, const std::string& data, bool display) {
    const auto message =
        std::make_shared<const std::string>("event: " + event + "\ndata: " + data + "\n\n");
    std::lock_guard<std::mutex> lock(m_);
    for (const std::shared_ptr<Page>& p : pages_) {
      std::lock_guard<std::mutex> page_lock(p->m);
      if (display) {
        std::size_t waiting = 0;
        for (const auto& q : p->queue) waiting += q.first ? 1 : 0;
        if (waiting >= kDisplayQueue) {
          for (auto it = p->queue.begin(); it != p->queue.end(); ++it) {
            if (!it->first) continue;
            p->queue.erase(it);
            ++p->display_lost;
            break;
          }
        }
      } else if (p->queue.size() >= kEventQueue) {
        p->dropped = true;
      }
      p->queue.emplace_back(display, message);
      p->cv.notify_one();
    }
  }
  bool empty() {
    std::lock_guard<std::mutex> lock(m_);
    return pages_.empty();
  }
  void WakeAll() {
    std::lock_guard<std::mutex> lock(m_);
    for (const std::shared_ptr<Page>& p : pages_) p->cv.notify_all();
  }
  std::size_t size() {
    std::lock_guard<std::mutex> lock(m_);
    return pages_.size();
  }

 private:
  std::mutex m_;
  std::vector<std::shared_ptr<Page>> pages_;
};

// A channel as the pages see it: the last value and the extremes since the last update.
struct ChannelView {
  std::string state = "none";  // "ok", "overflow+", "overflow-", "fault", "failed", ...
  double last = 0, min = 0, max = 0;
  bool fresh = false;  // a reading since the last update
  std::uint64_t count = 0;
  std::string error;
};

// A recording of one board to a file in the recordings folder.
struct FileRecording {
  std::string name;
  Format format = Format::kCsv;
  Output out;
  std::unique_ptr<Rows> rows;
  std::vector<ChannelStats> stats;
  std::map<std::string, std::uint64_t> failures;
  RecordSummary summary;
  std::uint64_t start_us = 0;
  std::chrono::system_clock::time_point start_wall;
  std::string session;  // the start in UTC, which every row carries
  std::string error;

  Stamp At(std::uint64_t monotonic_us, const std::string& serial) const {
    // A reading taken as the recording started counts as at its start.
    const auto since = static_cast<std::int64_t>(std::max(monotonic_us, start_us) - start_us);
    return {start_wall + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                             std::chrono::microseconds(since)),
            static_cast<double>(since) / 1e6, serial, session};
  }
};

// One board: opened once, read by its own thread.
struct Viewed {
  std::string serial;
  Board board;
  std::vector<unsigned int> channels;
  json info;  // type, version, link, calibration per channel (read at the start)
  BoardHeader header;  // what its recordings' files open with (read at the start)
  std::vector<int> digits;
  std::atomic<std::uint64_t> readings{0};
  std::thread reader;

  std::mutex m;  // guards what follows
  std::vector<ChannelView> views;
  std::vector<std::optional<double>> tares;
  std::vector<int> rates;
  bool connected = true;
  std::deque<json> events;
  std::unique_ptr<FileRecording> recording;
  std::string last_error;  // why the last recording ended badly ("" when it did not)
};

std::string Token() {
  std::random_device random;
  std::string token;
  char hex[9];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(hex, sizeof(hex), "%08x", random());
    token += hex;
  }
  return token;
}

bool SameText(const std::string& a, const std::string& b) {  // in time independent of where
  if (a.size() != b.size()) return false;                     // they differ
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool Loopback(const std::string& address) {
  return address.rfind("127.", 0) == 0 || address == "::1" || address == "localhost";
}

// A recording's file name as it may be asked for: letters, digits, '.', '_', '-', not
// starting with '.'. Nothing else reaches the file system.
bool SafeName(const std::string& name) {
  if (name.empty() || name.size() > 200 || name[0] == '.') return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
      return false;
  }
  return true;
}

class Viewer {
 public:
  Viewer(const Session& s, std::string token)
      : s_(s), token_(std::move(token)), loopback_(Loopback(s.options.listen)) {}
  ~Viewer() { Stop(); }

  // Opens the boards -s names (all of them for "all"); a failure is reported.
  int Open() {
    std::vector<std::string> serials = s_.options.serials;
    if (serials.size() == 1 && serials[0] == "all") {
      const Result<std::vector<std::string>> all = Board::List(s_.links.link);
      if (!all) return Fail("cannot count boards", all.error());
      if (all->empty()) return Fail("no board attached (--emulate gives two emulated boards)");
      serials = all.value();
    }
    if (serials.empty()) serials.push_back("");
    for (const std::string& serial : serials) {
      auto v = std::make_unique<Viewed>();
      Viewed* raw = v.get();
      OpenOptions opening = s_.Opening(true);
      opening.on_event = [this, raw](const BoardEvent& e) { Noticed(*raw, e); };
      Result<Board> board =
          serial.empty() ? Board::OpenOnly(opening) : Board::Open(serial, opening);
      if (!board) {
        Error e = board.error();
        if (serial.empty() && e.kind == ErrorKind::kInvalidArgument) e.text += " (-s SERIAL)";
        return Fail("cannot open " + (serial.empty() ? std::string("a board") : serial), e);
      }
      v->board = std::move(board.value());
      Describe(*v);
      boards_.push_back(std::move(v));
    }
    return kExitOk;
  }

  // Serves until a signal; kExitOk, or kExitFailure when the address cannot be served.
  int Serve() {
    std::error_code ignored;
    std::filesystem::create_directories(s_.options.recordings, ignored);
    recordings_fd_ = open(s_.options.recordings.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (recordings_fd_ < 0)
      return Fail("cannot use the recordings folder " + s_.options.recordings + ": " +
                  std::strerror(errno));
    Routes();
    port_ = s_.options.port == 0 ? server_.bind_to_any_port(s_.options.listen)
                                 : (server_.bind_to_port(s_.options.listen, s_.options.port)
                                        ? s_.options.port
                                        : -1);
    // A burst of clients waits in the kernel's queue rather than retrying its connection a
    // second later: the listening socket's queue is made longer than the server's default.
    if (port_ >= 0 && listen_fd_ >= 0) listen(listen_fd_, 1024);
    if (port_ < 0) {
      return Fail("cannot serve on " + s_.options.listen + " port " +
                  std::to_string(s_.options.port) +
                  ": the port is in use or the address is not this machine's (--port, --listen)");
    }
    start_us_ = clock().NowMicroseconds();
    for (auto& v : boards_) v->reader = std::thread([this, p = v.get()] { ReadBoard(*p); });
    ticker_ = std::thread([this] { Tick(); });
    std::thread listener([this] { server_.listen_after_bind(); });

    std::string host = s_.options.listen;
    if (host == "0.0.0.0" || host == "::") {
      char name[256] = {};
      host = gethostname(name, sizeof(name) - 1) == 0 ? name : "localhost";
    } else if (host.find(':') != std::string::npos) {
      host = "[" + host + "]";
    }
    std::printf("kavro view: serving %zu board%s on http://%s:%d/?token=%s (Ctrl-C to stop)\n",
                boards_.size(), boards_.size() == 1 ? "" : "s", host.c_str(), port_,
                token_.c_str());
    std::fflush(stdout);
    while (g_stop_signal.load() == platform::StopSignal::kNone)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Stop();
    listener.join();
    std::fprintf(stderr, "kavro view: stopped by %s\n",
                 platform::StopSignalName(g_stop_signal.load()));
    return kExitOk;
  }

 private:
  LinkProvider& clock() const { return *s_.links.link; }  // the link's clock, the boards' too

  void Stop() {
    if (stopping_.exchange(true)) return;
    pages_.WakeAll();
    server_.stop();
    if (ticker_.joinable()) ticker_.join();
    for (auto& v : boards_) {
      if (v->reader.joinable()) v->reader.join();
      std::lock_guard<std::mutex> lock(v->m);
      EndRecording(*v);
    }
    if (recordings_fd_ >= 0) close(recordings_fd_);
    recordings_fd_ = -1;
  }

  // What the page shows of a board besides its readings, read once before reading starts.
  void Describe(Viewed& v) {
    const BoardInfo& i = v.board.info();
    v.serial = i.serial;
    char version[32];
    std::snprintf(version, sizeof(version), "%u.%u.%u.%u.%u", i.version[0], i.version[1],
                  i.version[2], i.version[3], i.version[4]);
    v.info = {{"serial", i.serial}, {"type", i.type}, {"version", version},
              {"link", v.board.link_description()}, {"calibration", json::array()}};
    v.digits.assign(i.channels, 1);
    for (unsigned int ch = 0; ch < i.channels; ++ch) v.channels.push_back(ch);
    v.header = DescribeBoard(v.board, v.channels);
    for (const ChannelHeader& h : v.header.channels) {
      const Result<Calibration>& c = h.calibration;
      if (c) {
        v.digits[h.channel] = std::max(1, static_cast<int>(c->decimal_point));
        v.info["calibration"].push_back({{"offset_reading", c->offset_reading},
                                         {"fullscale_reading", c->fullscale_reading},
                                         {"offset_load", c->offset_load},
                                         {"fullscale_load", c->fullscale_load},
                                         {"unit_code", c->unit_code},
                                         {"decimal_point", c->decimal_point}});
      } else {
        v.info["calibration"].push_back({{"error", tool::Describe(c.error())}});
      }
      const Result<ConverterConfig>& config =
          v.header.converter_per_channel ? h.converter : v.header.converter;
      v.rates.push_back(config ? config->rate : -1);
    }
    v.views.assign(i.channels, ChannelView{});
    v.tares.assign(i.channels, std::nullopt);
  }

  // The reader: every channel of the board, over and over, until the server stops. A board
  // that goes away is reopened by the board itself; the failed readings show the gap.
  void ReadBoard(Viewed& v) {
    RecordOptions options;
    options.channels = v.channels;
    options.interval_us = static_cast<std::uint64_t>(std::llround(s_.options.interval_ms * 1000));
    options.should_stop = [this] { return stopping_.load(); };
    while (!stopping_) {
      const Result<RecordSummary> done = Record(v.board, options, [this, &v](const Sample& x) {
        Take(v, x);
        return true;
      });
      if (!done) {  // not expected: the channels are the board's own
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  }

  void Take(Viewed& v, const Sample& x) {
    std::lock_guard<std::mutex> lock(v.m);
    ChannelView& view = v.views[x.channel];
    if (!x.reading) {
      view.state = "failed";
      view.error = Brief(x.reading.error());
    } else {
      const kavro::Reading& r = *x.reading;
      v.readings.fetch_add(1, std::memory_order_relaxed);
      static const char* const kStates[] = {"ok", "overflow+", "overflow-",
                                            "fault", "unassigned", "unrecognised"};
      view.state = r.load ? kStates[static_cast<int>(r.state)] : "uncalibrated";
      view.error.clear();
      if (r.load) {
        const double load = *r.load;
        view.min = view.fresh ? std::min(view.min, load) : load;
        view.max = view.fresh ? std::max(view.max, load) : load;
        view.last = load;
        view.fresh = true;
        ++view.count;
      }
    }
    if (FileRecording* rec = v.recording.get()) {
      std::string row;
      if (!x.reading) {
        ++rec->failures[Brief(x.reading.error())];
        ++rec->summary.errors;
        row = rec->rows->Failure(rec->At(clock().NowMicroseconds(), v.serial), x.channel,
                                 x.reading.error());
      } else {
        ++rec->summary.readings;
        if (x.reading->load) {
          for (ChannelStats& st : rec->stats) {
            if (st.channel == x.channel) st.Add(*x.reading->load);
          }
        }
        row = rec->rows->Reading(rec->At(x.reading->monotonic_us, v.serial), *x.reading);
      }
      if (!rec->out.Write(row)) {
        rec->error = rec->out.error();
        EndRecording(v);
      }
    }
  }

  void Noticed(Viewed& v, const BoardEvent& e) {
    json event = {{"serial", e.serial},
                  {"kind", EventKind(e.kind)},
                  {"at", UtcTime(e.wall)},
                  {"gap_s", static_cast<double>(e.gap_us) / 1e6},
                  {"error", Brief(e.error)}};
    {
      std::lock_guard<std::mutex> lock(v.m);
      v.connected = e.kind == BoardEventKind::kReconnected;
      v.events.push_back(event);
      if (v.events.size() > kEventLog) v.events.pop_front();
      if (FileRecording* rec = v.recording.get()) {
        rec->summary.gaps += e.kind == BoardEventKind::kDisconnected ? 1 : 0;
        if (!rec->out.Write(rec->rows->Event(rec->At(e.monotonic_us, v.serial), e))) {
          rec->error = rec->out.error();
          EndRecording(v);
        }
      }
    }
    pages_.Send("board", Dump(event), false);
  }

  // 25 times a second, while a page is open: each board's channels.
  void Tick() {
    auto next = std::chrono::steady_clock::now();
    while (!stopping_) {
      next += std::chrono::milliseconds(40);
      std::this_thread::sleep_until(next);
      if (pages_.empty()) continue;  // the readings' extremes wait for the next page
      const double t = static_cast<double>(clock().NowMicroseconds() - start_us_) / 1e6;
      json update = {{"t", t}, {"boards", json::object()}};
      bool any = false;
      for (auto& v : boards_) {
        json channels = json::array();
        std::lock_guard<std::mutex> lock(v->m);
        for (std::size_t ch = 0; ch < v->views.size(); ++ch) {
          ChannelView& c = v->views[ch];
          json one = {{"state", c.state}, {"count", c.count}};
          if (c.fresh) one.update({{"last", c.last}, {"min", c.min}, {"max", c.max}});
          if (!c.error.empty()) one["error"] = c.error;
          any = any || c.fresh || c.state == "failed";
          c.fresh = false;
          channels.push_back(std::move(one));
        }
        update["boards"][v->serial] = {
            {"channels", std::move(channels)}, {"connected", v->connected},
            {"readings", v->readings.load()}, {"recording_rows", Rows(*v)}};
      }
      if (any) pages_.Send("readings", Dump(update), true);
    }
  }

  static std::uint64_t Rows(const Viewed& v) {
    return v.recording ? v.recording->summary.readings + v.recording->summary.errors : 0;
  }

  json State() {
    json boards = json::array();
    for (auto& v : boards_) {
      std::lock_guard<std::mutex> lock(v->m);
      json b = v->info;
      b["channels"] = json::array();
      for (unsigned int ch : v->channels) {
        b["channels"].push_back({{"channel", ch},
                                 {"digits", v->digits[ch]},
                                 {"tare", v->tares[ch] ? json(*v->tares[ch]) : json()},
                                 {"rate", v->rates[ch]}});
      }
      b["connected"] = v->connected;
      b["readings"] = v->readings.load();
      b["events"] = json::array();
      for (const json& e : v->events) b["events"].push_back(e);
      b["recording"] = v->recording ? json{{"name", v->recording->name}, {"rows", Rows(*v)}}
                                    : json();
      b["last_recording_error"] = v->last_error;
      boards.push_back(std::move(b));
    }
    return {{"boards", boards},
            {"pages", pages_.size()},
            {"t", static_cast<double>(clock().NowMicroseconds() - start_us_) / 1e6}};
  }

  Viewed* Find(const std::string& serial) {
    for (auto& v : boards_) {
      if (v->serial == serial) return v.get();
    }
    return nullptr;
  }

  // Writes the summary (JSON lines), closes the file and forgets the recording. v.m is held.
  void EndRecording(Viewed& v) {
    FileRecording* rec = v.recording.get();
    if (rec == nullptr) return;
    RecordingEnd end{v.serial, rec->summary, rec->stats, rec->failures,
                     rec->error.empty() ? "stopped from the page" : "write error"};
    if (rec->error.empty() && !rec->out.Write(rec->rows->Summary(end))) rec->error = rec->out.error();
    if (!rec->out.Close() && rec->error.empty()) rec->error = rec->out.error();
    v.last_error = rec->error;
    v.recording.reset();
  }

  // Checks every request before its route: the Host (no DNS rebinding), the Origin (no other
  // site's page), and the token (actions always; everything when not on this machine only).
  httplib::Server::HandlerResponse Check(const httplib::Request& req, httplib::Response& res) {
    auto refuse = [&res](int status, const std::string& why) {
      res.status = status;
      res.set_content(why + "\n", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    };
    if (std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) > kMaxBody)
      return refuse(413, "a request body is at most 64 KiB");
    const std::string host = req.get_header_value("Host");
    if (!HostAllowed(host)) return refuse(403, "the Host header names no address of this server");
    if (req.has_header("Origin") && req.get_header_value("Origin") != "http://" + host)
      return refuse(403, "requests from other sites' pages are refused");
    const bool action = req.method != "GET" && req.method != "HEAD";
    if (action || !loopback_) {
      std::string token = req.get_header_value("X-Kavro-Token");
      if (token.empty()) token = req.get_param_value("token");
      if (token.empty()) return refuse(401, "the token of the URL kavro view printed is needed");
      if (!SameText(token, token_)) return refuse(403, "wrong token");
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  bool HostAllowed(const std::string& host) const {
    const std::string port = ":" + std::to_string(port_);
    if (host.size() <= port.size() || host.compare(host.size() - port.size(), port.size(), port))
      return false;
    const std::string name = host.substr(0, host.size() - port.size());
    if (name == "localhost" || name == "[::1]" || name.rfind("127.", 0) == 0) return true;
    if (loopback_) return false;
    // Served to the network: an address literal, or this machine's own name.
    if (name.find_first_not_of("0123456789.") == std::string::npos) return true;
    if (name.front() == '[' && name.back() == ']') return true;
    char me[256] = {};
    if (gethostname(me, sizeof(me) - 1) != 0) return false;
    const std::string mine = me;
    return name == mine || name.rfind(mine + ".", 0) == 0;
  }

  static void Reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(Dump(body) + "\n", "application/json");
  }

  // The board and channel an action names; replies 400/404 itself when they are not good.
  Viewed* Target(const httplib::Request& req, httplib::Response& res, unsigned int* channel) {
    Viewed* v = Find(req.get_param_value("serial"));
    if (v == nullptr) {
      Reply(res, 404, {{"error", "no such board: serial=" + req.get_param_value("serial")}});
      return nullptr;
    }
    if (channel == nullptr) return v;
    const std::vector<unsigned int> c =
        ParseChannels(req.get_param_value("channel"), static_cast<unsigned>(v->views.size()));
    if (c.size() != 1 || c[0] >= v->views.size()) {
      Reply(res, 400, {{"error", "channel=" + req.get_param_value("channel") +
                                     ": give one channel of the board"}});
      return nullptr;
    }
    *channel = c[0];
    return v;
  }

  void Changed() { pages_.Send("state", "{}", false); }

  void Routes() {
    server_.new_task_queue = [] { return new BoundedPool; };
    server_.set_socket_options([this](int sock) {
      const int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
      listen_fd_ = sock;
    });
    server_.set_payload_max_length(kMaxBody);
    server_.set_read_timeout(2, 0);
    server_.set_write_timeout(5, 0);
    server_.set_pre_routing_handler(
        [this](const httplib::Request& q, httplib::Response& r) { return Check(q, r); });
    server_.set_error_handler([](const httplib::Request&, httplib::Response& res) {
      if (res.body.empty()) res.set_content("error " + std::to_string(res.status) + "\n", "text/plain");
    });
    server_.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
          res.status = 500;
          res.set_content("internal error\n", "text/plain");
        });

    server_.Get("/", [this](const httplib::Request&, httplib::Response& res) {
      std::string page = web::kPage;
      const std::string mark = "__KAVRO_TOKEN__";
      page.replace(page.find(mark), mark.size(), token_);
      res.set_header("Cache-Control", "no-store");
      res.set_header("Content-Security-Policy",
                     "default-src 'self'; script-src 'unsafe-inline'; style-src 'unsafe-inline'");
      res.set_header("X-Frame-Options", "DENY");
      res.set_content(page, "text/html; charset=utf-8");
    });
    server_.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
      Reply(res, 200, State());
    });
    server_.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) {
      std::shared_ptr<Page> page = pages_.Add();
      if (!page) {
        Reply(res, 503, {{"error", "too many pages open"}});
        return;
      }
      res.set_header("Cache-Control", "no-store");
      res.set_chunked_content_provider(
          "text/event-stream",
          [this, page](std::size_t, httplib::DataSink& sink) {
            std::deque<std::pair<bool, std::shared_ptr<const std::string>>> out;
            {
              std::unique_lock<std::mutex> lock(page->m);
              page->cv.wait_for(lock, std::chrono::seconds(1), [&] {
                return !page->queue.empty() || page->dropped || stopping_;
              });
              if (page->dropped || stopping_) return false;
              out.swap(page->queue);
            }
            std::string text = out.empty() ? ": still here\n\n" : "";
            for (const auto& m : out) text += *m.second;
            if (!sink.write(text.data(), text.size())) return false;
            return true;
          },
          [this, page](bool) { pages_.Remove(page); });
    });
    server_.Get("/api/recordings", [this](const httplib::Request&, httplib::Response& res) {
      Reply(res, 200, {{"folder", s_.options.recordings}, {"files", Listing()}});
    });
    server_.Get(R"(/recordings/([^/]*))", [this](const httplib::Request& req,
                                                 httplib::Response& res) { Download(req, res); });
    server_.Get(R"(/api/(tare|cleartare|rate|record/start|record/stop))",
                [](const httplib::Request&, httplib::Response& res) {
                  res.set_header("Allow", "POST");
                  Reply(res, 405, {{"error", "this action is a POST"}});
                });

    server_.Post("/api/tare", [this](const httplib::Request& req, httplib::Response& res) {
      unsigned int ch = 0;
      Viewed* v = Target(req, res, &ch);
      if (v == nullptr) return;
      const Result<double> tare = v->board.Tare(ch, 10);
      if (!tare) return Reply(res, 502, {{"error", tool::Describe(tare.error())}});
      {
        std::lock_guard<std::mutex> lock(v->m);
        v->tares[ch] = *tare;
      }
      Changed();
      Reply(res, 200, {{"tare", *tare}});
    });
    server_.Post("/api/cleartare", [this](const httplib::Request& req, httplib::Response& res) {
      unsigned int ch = 0;
      Viewed* v = Target(req, res, &ch);
      if (v == nullptr) return;
      v->board.ClearTare(ch);
      {
        std::lock_guard<std::mutex> lock(v->m);
        v->tares[ch].reset();
      }
      Changed();
      Reply(res, 200, {{"tare", nullptr}});
    });
    server_.Post("/api/rate", [this](const httplib::Request& req, httplib::Response& res) {
      unsigned int ch = 0;
      Viewed* v = Target(req, res, &ch);
      if (v == nullptr) return;
      const std::string text = req.get_param_value("rate");
      int rate = -1;
      if (text.size() >= 1 && text.size() <= 2 &&
          text.find_first_not_of("0123456789") == std::string::npos)
        rate = std::stoi(text);
      if (rate < 0 || rate > 15) return Reply(res, 400, {{"error", "rate: a code from 0 to 15"}});
      const Status set = v->board.SetSamplingRate(static_cast<std::uint8_t>(rate), ch);
      if (!set) return Reply(res, 502, {{"error", tool::Describe(set.error())}});
      {
        std::lock_guard<std::mutex> lock(v->m);
        v->rates[ch] = rate;
      }
      Changed();
      Reply(res, 200, {{"rate", rate}});
    });
    server_.Post("/api/record/start", [this](const httplib::Request& req, httplib::Response& res) {
      Viewed* v = Target(req, res, nullptr);
      if (v == nullptr) return;
      const std::string format = req.has_param("format") ? req.get_param_value("format") : "csv";
      if (format != "csv" && format != "json" && format != "table")
        return Reply(res, 400, {{"error", "format: csv, json or table"}});
      std::string started, why;
      {
        std::lock_guard<std::mutex> lock(v->m);
        if (v->recording) return Reply(res, 409, {{"error", "already recording"}});
        why = StartRecording(*v, format, &started);
      }
      if (!why.empty()) return Reply(res, 500, {{"error", why}});
      Changed();
      Reply(res, 200, {{"name", started}});
    });
    server_.Post("/api/record/stop", [this](const httplib::Request& req, httplib::Response& res) {
      Viewed* v = Target(req, res, nullptr);
      if (v == nullptr) return;
      json done;
      {
        std::lock_guard<std::mutex> lock(v->m);
        if (!v->recording) return Reply(res, 409, {{"error", "not recording"}});
        done = {{"name", v->recording->name}, {"rows", Rows(*v)}};
        EndRecording(*v);
        done["error"] = v->last_error;
      }
      Changed();
      Reply(res, done["error"].get<std::string>().empty() ? 200 : 500, done);
    });
  }

  // Opens a new file for the board's recording; "" or why it cannot. v.m is held.
  std::string StartRecording(Viewed& v, const std::string& format, std::string* name) {
    auto rec = std::make_unique<FileRecording>();
    rec->format = format == "json" ? Format::kJson : format == "table" ? Format::kTable
                                                                        : Format::kCsv;
    const std::string ext = format == "json" ? ".jsonl" : format == "table" ? ".txt" : ".csv";
    std::string stem = UtcTime(std::chrono::system_clock::now()).substr(0, 19);
    stem.erase(std::remove(stem.begin(), stem.end(), ':'), stem.end());
    stem = v.serial + "-" + stem;
    for (int n = 1; n < 1000 && rec->name.empty(); ++n) {
      const std::string candidate = stem + (n == 1 ? "" : "-" + std::to_string(n)) + ext;
      if (!SafeName(candidate)) return "the board's serial number makes no safe file name";
      struct stat st {};
      if (fstatat(recordings_fd_, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        rec->name = candidate;
    }
    if (rec->name.empty()) return "no free file name in the recordings folder";
    if (!rec->out.Open(s_.options.recordings + "/" + rec->name, false, false))
      return rec->out.error();
    rec->rows = std::make_unique<tool::Rows>(rec->format, true, v.digits, true);
    // The header as the board stands now: the rates and tares set from the page since.
    FileHeader header{s_.options.command_line, HostName(), {v.header}, "", false};
    BoardHeader& b = header.boards.front();
    for (ChannelHeader& c : b.channels) {
      Result<ConverterConfig>& config = b.converter_per_channel ? c.converter : b.converter;
      if (config && v.rates[c.channel] >= 0)
        config.value().rate = static_cast<std::uint8_t>(v.rates[c.channel]);
      c.tare = v.tares[c.channel];
    }
    for (unsigned int ch : v.channels) rec->stats.push_back(ChannelStats{ch});
    rec->start_us = clock().NowMicroseconds();
    rec->start_wall = std::chrono::system_clock::now();
    rec->session = UtcTime(rec->start_wall, 6);
    const std::string start =
        rec->rows->SessionStart(rec->At(rec->start_us, v.serial), true, header);
    if (!start.empty() && !rec->out.Write(start)) return rec->out.error();
    *name = rec->name;
    v.last_error.clear();
    v.recording = std::move(rec);
    return "";
  }

  json Listing() const {
    json files = json::array();
    const int fd = dup(recordings_fd_);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
      if (fd >= 0) close(fd);
      return files;
    }
    rewinddir(dir);
    while (const dirent* e = readdir(dir)) {
      struct stat st {};
      if (!SafeName(e->d_name) ||
          fstatat(recordings_fd_, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISREG(st.st_mode))
        continue;
      files.push_back({{"name", e->d_name}, {"size", st.st_size}});
    }
    closedir(dir);
    std::sort(files.begin(), files.end(),
              [](const json& a, const json& b) { return a["name"] > b["name"]; });
    return files;
  }

  // A recording's file, only from the recordings folder: a safe name, not a link, a regular
  // file.
  void Download(const httplib::Request& req, httplib::Response& res) const {
    const std::string name = req.matches[1];
    if (!SafeName(name)) return Reply(res, 404, {{"error", "no such recording"}});
    const int fd = openat(recordings_fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      if (fd >= 0) close(fd);
      return Reply(res, 404, {{"error", "no such recording"}});
    }
    res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
    res.set_content_provider(
        static_cast<std::size_t>(st.st_size), "application/octet-stream",
        [fd](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          char buffer[16384];
          const ssize_t got = pread(fd, buffer, std::min(length, sizeof(buffer)),
                                    static_cast<off_t>(offset));
          return got > 0 && sink.write(buffer, static_cast<std::size_t>(got));
        },
        [fd](bool) { close(fd); });
  }

  const Session& s_;
  const std::string token_;
  const bool loopback_;
  httplib::Server server_;
  std::vector<std::unique_ptr<Viewed>> boards_;
  Pages pages_;
  std::thread ticker_;
  std::atomic<bool> stopping_{false};
  std::uint64_t start_us_ = 0;
  int port_ = -1;
  int recordings_fd_ = -1;
  int listen_fd_ = -1;  // the server's listening socket (closed by the server)
};

}  // namespace

int View(const Session& s) {
  platform::CatchStopSignals(OnStopSignal);
  Viewer viewer(s, Token());
  if (int code = viewer.Open(); code != kExitOk) return code;
  return viewer.Serve();
}

}  // namespace kavro::tool
