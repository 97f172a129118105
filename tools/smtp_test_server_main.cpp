// smtp_test_server: the scriptable test SMTP server as a program, for
// end-to-end scripts and demonstrations. Listens on 127.0.0.1 and stores each
// message received as <n>.eml in the mail folder.
//
//   smtp_test_server [--port N] [--port-file FILE] [--maildir DIR]
//                    [--reply VERB=TEXT]... [--sessions N]
//
// --port 0 (the default) takes a free port; --port-file receives the port
// number once the server listens. --reply replaces the reply to VERB (see
// SmtpTestServer::Script; "\r\n" is added, "\n" in TEXT becomes CR LF).
// --sessions ends the program after N connections; otherwise it runs until
// it is interrupted or terminated.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/smtp_test_server.h"

namespace {
volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

int Usage() {
  std::fprintf(stderr,
               "usage: smtp_test_server [--port N] [--port-file FILE] [--maildir DIR] "
               "[--reply VERB=TEXT]... [--sessions N]\n");
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  long sessions = 0;
  std::string portFile, mailDir;
  std::vector<std::pair<std::string, std::string>> replies;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    std::string value = argv[++i];
    if (arg == "--port") {
      port = std::atoi(value.c_str());
    } else if (arg == "--port-file") {
      portFile = value;
    } else if (arg == "--maildir") {
      mailDir = value;
    } else if (arg == "--sessions") {
      sessions = std::atol(value.c_str());
    } else if (arg == "--reply") {
      size_t eq = value.find('=');
      if (eq == std::string::npos) return Usage();
      std::string text;
      for (char c : value.substr(eq + 1)) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
      replies.emplace_back(value.substr(0, eq), text + "\r\n");
    } else {
      return Usage();
    }
  }
  if (!mailDir.empty()) {
    std::error_code error;
    std::filesystem::create_directories(mailDir, error);
    if (error) {
      std::fprintf(stderr, "smtp_test_server: cannot create %s\n", mailDir.c_str());
      return 1;
    }
  }
  qw::SmtpTestServer server(mailDir);
  for (auto& [verb, text] : replies) server.Script(verb, qw::SmtpTestServer::Reply::Text(text));
  if (!server.Start(port)) {
    std::fprintf(stderr, "smtp_test_server: cannot listen on 127.0.0.1:%d\n", port);
    return 1;
  }
  if (!portFile.empty()) {
    std::string temp = portFile + ".tmp";
    { std::ofstream(temp) << server.Port() << "\n"; }
    std::rename(temp.c_str(), portFile.c_str());
  }
  std::printf("listening on 127.0.0.1:%d\n", server.Port());
  std::fflush(stdout);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  while (!gStop) {
    if (sessions > 0 && server.WaitForSessions(static_cast<size_t>(sessions), 100)) break;
    if (sessions <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  server.Stop();
  std::printf("stopped after %zu message(s)\n", server.MessageCount());
  return 0;
}
