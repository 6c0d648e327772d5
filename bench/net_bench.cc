// Network sessions over loopback: a BlockReader relaying a 100 MB stream against a
// plain recv/send copy loop, and how fast a burst of 200 clients is accepted and
// handed to session threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "config/config.h"
#include "config/data_dir.h"
#include "net/line_socket.h"
#include "net/listeners.h"
#include "platform/files.h"
#include "platform/lang.h"
#include "platform/main_loop.h"
#include "platform/notifier.h"
#include "platform/sockets.h"
#include "platform/thread_records.h"
#include "platform/threads.h"

namespace km {
namespace {

constexpr size_t kStreamBytes = 100u * 1024 * 1024;
constexpr size_t kChunk = 65536;
constexpr size_t kBurstClients = 200;
constexpr SocketAddress4 kLoopback{127, 0, 0, 1};

// A connected pair over loopback: `near` is read or written by the relay.
struct Pair {
  SocketHandle near = kInvalidSocket;
  SocketHandle far = kInvalidSocket;
};

Pair connectPair() {
  SocketHandle listener = createTcpSocket();
  int error = 0;
  bindSocket(listener, kLoopback, 0, error);
  listenOnSocket(listener, 1, error);
  Pair pair;
  pair.near = connectTcp("127.0.0.1", boundPort(listener), 5000, error).release();
  waitReadable(listener, 5000);
  SocketAddress4 address{};
  acceptClient(listener, pair.far, address, error);
  closeSocket(listener);
  return pair;
}

void sendAllBytes(SocketHandle sock, const char* bytes, size_t size) {
  size_t done = 0;
  int error = 0;
  while (done < size) {
    long sent = sendBytes(sock, bytes + done, size - done, error);
    if (sent <= 0) {
      return;
    }
    done += static_cast<size_t>(sent);
  }
}

// Writes the stream into `source.far`, drains `sink.far`, and runs `relay` in
// between (it owns both near ends, and ends the sink's stream when done); returns
// the bytes that reached the sink.
template <typename Relay> size_t runRelay(Relay relay) {
  Pair source = connectPair();
  Pair sink = connectPair();
  std::thread writer([&] {
    std::vector<char> block(kChunk, 'm');
    for (size_t sent = 0; sent < kStreamBytes; sent += kChunk) {
      sendAllBytes(source.far, block.data(), kChunk);
    }
    closeSocket(source.far);
  });
  size_t received = 0;
  std::thread drain([&] {
    std::vector<char> block(kChunk);
    int error = 0;
    long got;
    while ((got = receiveBytes(sink.far, block.data(), block.size(), error)) > 0) {
      received += static_cast<size_t>(got);
    }
  });
  relay(source.near, sink.near);
  writer.join();
  drain.join();
  closeSocket(sink.far);
  return received;
}

void BM_PlainCopyLoop(benchmark::State& state) {
  for (auto _ : state) {
    size_t moved = runRelay([](SocketHandle from, SocketHandle to) {
      std::vector<char> buffer(kChunk);
      int error = 0;
      long got;
      while ((got = receiveBytes(from, buffer.data(), buffer.size(), error)) > 0) {
        sendAllBytes(to, buffer.data(), static_cast<size_t>(got));
      }
      shutdownSending(to);
      closeSocket(from);
      closeSocket(to);
    });
    if (moved != kStreamBytes) {
      state.SkipWithError("bytes were lost");
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kStreamBytes));
}
BENCHMARK(BM_PlainCopyLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_BlockReaderRelay(benchmark::State& state) {
  for (auto _ : state) {
    size_t moved = runRelay([](SocketHandle from, SocketHandle to) {
      LineSocket in;
      LineSocket out;
      in.attach(from);
      out.attach(to);
      BlockReader br(in, kChunk, "", 30000);
      while (br.read() && out.sendString(br.run())) {
      }
      shutdownSending(to);
    });
    if (moved != kStreamBytes) {
      state.SkipWithError("bytes were lost");
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kStreamBytes));
}
BENCHMARK(BM_BlockReaderRelay)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// A data directory with one POP3 port, loaded as the program loads it.
int preparePort() {
  static int port = 0;
  if (port != 0) {
    return port;
  }
  std::string pattern = temporaryDirectory() + "kestrel-bench-XXXXXX";
  std::string dir = ::mkdtemp(pattern.data());
  chooseDataDirectory(dir, true);
  loadLanguageTable(executableDirectory() + "../kestrelmail.lang");
  prepareDataDirectory();
  SocketHandle probe = createTcpSocket();
  int error = 0;
  bindSocket(probe, kLoopback, 0, error);
  port = boundPort(probe);
  closeSocket(probe);
  std::ofstream(dir + "/config.dat")
      << "CREATE_DEFAULT_IMAP4_PORT NO\nPORT " << port << "\nPORT_TYPE POP3_GENERIC\n";
  loadConfigFile();
  initThreadRecords();
  initListeners();
  reloadListeners();
  return port;
}

// 200 clients connect at once; each is accepted on the main loop, handed to its
// session thread, and sees the connection closed by it. The latency of a client
// runs from its connect to that close.
void BM_AcceptBurstToSessionThreads(benchmark::State& state) {
  initMainLoop({});
  int port = preparePort();
  std::vector<double> latenciesMs;
  for (auto _ : state) {
    std::vector<double> burst(kBurstClients);
    std::thread clients([&] {
      std::vector<SocketHandle> socks(kBurstClients);
      std::vector<uint64_t> connected(kBurstClients);
      for (size_t i = 0; i < kBurstClients; ++i) {
        int error = 0;
        socks[i] = connectTcp("127.0.0.1", port, 10000, error).release();
        connected[i] = tickCountMs();
      }
      for (size_t i = 0; i < kBurstClients; ++i) {
        char byte;
        int error = 0;
        receiveBytes(socks[i], &byte, 1, error); // the session's close
        burst[i] = static_cast<double>(tickCountMs() - connected[i]);
        closeSocket(socks[i]);
      }
      postQuitMessage(0);
    });
    runMainLoop();
    clients.join();
    // A fresh loop for the next burst (the quit message stays posted otherwise);
    // the listening socket is opened anew and watched by it.
    while (runningSessionCount() > 0) {
      sleepMs(1);
    }
    closeMainLoop();
    initMainLoop({});
    closeAllListeners();
    reloadListeners();
    latenciesMs.insert(latenciesMs.end(), burst.begin(), burst.end());
  }
  std::sort(latenciesMs.begin(), latenciesMs.end());
  state.counters["p50_ms"] = latenciesMs[latenciesMs.size() / 2];
  state.counters["p99_ms"] = latenciesMs[latenciesMs.size() * 99 / 100];
  state.counters["max_ms"] = latenciesMs.back();
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBurstClients));
}
BENCHMARK(BM_AcceptBurstToSessionThreads)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20);

} // namespace
} // namespace km

BENCHMARK_MAIN();
