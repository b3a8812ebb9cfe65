// A real mosquitto broker for tests, configured by the project's own deploy/mosquitto/make-config.sh,
// and a subscriber on its own network thread that keeps every message it gets.
#pragma once

#include <dirent.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "process_support.h"
#include "wait_support.h"

namespace testing_support {

// A port nobody listens on right now.
inline int FreeTcpPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

inline bool TcpAccepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// Bytes that have reached the TCP socket of process `pid` connected to `port` on 127.0.0.1 and that
// it has not read yet; -1 when it has no such socket.
inline long UnreadBytes(pid_t pid, int port) {
  std::set<std::string> inodes;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* dir = opendir(fds.c_str())) {
    while (const dirent* e = readdir(dir)) {
      char target[64] = {};
      if (readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1) > 0 &&
          std::strncmp(target, "socket:[", 8) == 0)
        inodes.insert(std::string(target + 8, std::strcspn(target + 8, "]")));
    }
    closedir(dir);
  }
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    char remote[64], queues[64], inode[32];
    unsigned state = 0;
    // sl local remote st tx:rx tr:when retrnsmt uid timeout inode
    if (std::sscanf(line.c_str(), "%*s %*s %63s %x %63s %*s %*s %*s %*s %31s", remote, &state, queues,
                    inode) != 4)
      continue;
    const char* colon = std::strchr(remote, ':');
    if (colon == nullptr || std::strtol(colon + 1, nullptr, 16) != port || inodes.count(inode) == 0) continue;
    return std::strtol(std::strchr(queues, ':') + 1, nullptr, 16);
  }
  return -1;
}

// The bytes of an MQTT 5 PUBLISH of QoS 1 without properties, as a broker forwards it.
inline long PublishBytes(const std::string& topic, const std::string& payload) {
  const long rest = 2 + static_cast<long>(topic.size()) + 2 + 1 + static_cast<long>(payload.size());
  long length_bytes = 1;
  for (long n = rest; n >= 128; n /= 128) ++length_bytes;
  return 1 + length_bytes + rest;
}

// The broker with users bridge, operator, operator2 and viewer for `robot` (passwords: the name + "-pw"),
// and `callers` more operators caller0, caller1, ...
class Broker {
 public:
  Broker(const std::string& deploy_dir, const std::string& robot, int ws_port = 0,
         const std::string& http_dir = "", int callers = 0)
      : dir_("/tmp/trevask-broker-" + std::to_string(getpid()) + "-" + robot), port_(FreeTcpPort()) {
    std::string cmd = "mkdir -p " + dir_;
    ok_ = std::system(cmd.c_str()) == 0;
    {
      std::ofstream users(dir_ + "/users");
      users << "bridge bridge-pw bridge " << robot << "\noperator operator-pw operator " << robot
            << "\noperator2 operator2-pw operator " << robot << "\nviewer viewer-pw viewer " << robot << "\n";
      for (int i = 0; i < callers; ++i)
        users << "caller" << i << " caller" << i << "-pw operator " << robot << "\n";
    }
    cmd = "bash " + deploy_dir + "/make-config.sh " + dir_ + "/users " + dir_ + " --port " +
          std::to_string(port_) + " --ws-port " + std::to_string(ws_port) +
          (http_dir.empty() ? "" : " --http-dir " + http_dir) + " >/dev/null";
    ok_ = ok_ && std::system(cmd.c_str()) == 0;
    if (ok_) Start();
  }
  ~Broker() { std::system(("rm -rf " + dir_).c_str()); }

  bool ok() const { return ok_; }
  int port() const { return port_; }
  void Start() {
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir_ + "/mosquitto.conf"},
        std::vector<std::string>{}, Origin::kSystem);
    ok_ = WaitUntil([&] { return TcpAccepts(port_); }, 4000);
  }
  void Kill() {
    process_->Signal(SIGKILL);
    process_->Wait(5000);
    process_.reset();
  }

 private:
  std::string dir_;
  int port_;
  bool ok_ = false;
  std::unique_ptr<ChildProcess> process_;
};

struct Message {
  std::chrono::steady_clock::time_point at;  // when the subscriber got it
  std::string topic;
  std::string payload;
  std::string correlation;
  bool retained = false;
};

class Subscriber {
 public:
  Subscriber(int port, const std::string& user, const std::string& password, const std::string& client_id) {
    mosquitto_lib_init();
    client_ = mosquitto_new(client_id.c_str(), true, this);
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_username_pw_set(client_, user.c_str(), password.c_str());
    mosquitto_connect_v5_callback_set(client_,
                                      [](mosquitto*, void* self, int rc, int, const mosquitto_property*) {
                                        auto* s = static_cast<Subscriber*>(self);
                                        std::lock_guard<std::mutex> g(s->mutex_);
                                        s->connect_result_ = rc;
                                      });
    mosquitto_subscribe_v5_callback_set(
        client_, [](mosquitto*, void* self, int, int, const int*, const mosquitto_property*) {
          auto* s = static_cast<Subscriber*>(self);
          std::lock_guard<std::mutex> g(s->mutex_);
          ++s->subscriptions_;
        });
    mosquitto_publish_v5_callback_set(client_,
                                      [](mosquitto*, void* self, int mid, int, const mosquitto_property*) {
                                        auto* s = static_cast<Subscriber*>(self);
                                        std::lock_guard<std::mutex> g(s->mutex_);
                                        s->acknowledged_.insert(mid);
                                      });
    mosquitto_message_v5_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m,
                                                  const mosquitto_property* props) {
      auto* s = static_cast<Subscriber*>(self);
      Message msg;
      msg.at = std::chrono::steady_clock::now();
      msg.topic = m->topic;
      msg.payload.assign(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
      msg.retained = m->retain;
      void* data = nullptr;
      uint16_t size = 0;
      if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &size, false) != nullptr) {
        msg.correlation.assign(static_cast<const char*>(data), size);
        std::free(data);
      }
      std::lock_guard<std::mutex> g(s->mutex_);
      s->messages_.push_back(std::move(msg));
    });
    mosquitto_connect(client_, "127.0.0.1", port, 20);
    mosquitto_loop_start(client_);
  }
  ~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);  // the network thread ends after the disconnect, holding no lock
    mosquitto_destroy(client_);
  }
  // The broker's answer to the connect: 0 when accepted, -1 while none came.
  int WaitConnected(int limit_ms = 10000) {
    WaitFor([&] { return connect_result_ != -1; }, limit_ms);
    std::lock_guard<std::mutex> g(mutex_);
    return connect_result_;
  }
  bool Subscribe(const std::string& pattern) {
    int before;
    {
      std::lock_guard<std::mutex> g(mutex_);
      before = subscriptions_;
    }
    mosquitto_subscribe_v5(client_, nullptr, pattern.c_str(), 1, 0, nullptr);
    return WaitFor([&] { return subscriptions_ > before; }, 10000);
  }
  // Publishes with QoS 1; returns the message's id.
  int Publish(const std::string& topic, const std::string& payload, mosquitto_property* props = nullptr) {
    int mid = 0;
    mosquitto_publish_v5(client_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                         false, props);
    return mid;
  }
  // Waits for the broker's acknowledgement of message `mid`: it has taken the message in, and passed
  // it on to the subscribers it allows, or refused it.
  bool WaitAcknowledged(int mid, int limit_ms = 10000) {
    return WaitFor([&] { return acknowledged_.count(mid) > 0; }, limit_ms);
  }
  std::size_t Count(const std::string& topic) {
    std::lock_guard<std::mutex> g(mutex_);
    std::size_t n = 0;
    for (const auto& m : messages_) n += m.topic == topic;
    return n;
  }
  std::vector<Message> All() {
    std::lock_guard<std::mutex> g(mutex_);
    return messages_;
  }
  std::vector<Message> On(const std::string& topic) {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<Message> out;
    for (const auto& m : messages_)
      if (m.topic == topic) out.push_back(m);
    return out;
  }
  // Waits for a message on `topic` that `match` accepts; returns it (empty topic on a time-out).
  Message WaitForMessage(const std::string& topic, const std::function<bool(const Message&)>& match,
                         int limit_ms = 10000) {
    Message found;
    WaitFor(
        [&] {
          for (const auto& m : messages_)
            if (m.topic == topic && match(m)) return found = m, true;
          return false;
        },
        limit_ms);
    return found;
  }

 private:
  // Polls `done` under the lock.
  bool WaitFor(const std::function<bool()>& done, int limit_ms) {
    return WaitUntil(
        [&] {
          std::lock_guard<std::mutex> g(mutex_);
          return done();
        },
        limit_ms);
  }

  mosquitto* client_ = nullptr;
  std::mutex mutex_;
  int connect_result_ = -1;
  int subscriptions_ = 0;
  std::set<int> acknowledged_;  // ids of the publishes the broker acknowledged
  std::vector<Message> messages_;
};

}  // namespace testing_support
