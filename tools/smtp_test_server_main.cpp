// smtp_test_server: the scriptable test SMTP server as a program, for
// end-to-end scripts and demonstrations. Listens on 127.0.0.1 and stores each
// message received as <n>.eml in the mail folder.
//
//   smtp_test_server [--port N] [--port-file FILE] [--maildir DIR]
//                    [--log FILE] [--reply VERB[#N]=TEXT]...
//                    [--at VERB[#N]=[MODE[,MODE]...]:TEXT]... [--sessions N]
//
// --port 0 (the default) takes a free port; --port-file receives the port
// number once the server listens. --log appends every session's commands and
// the server's notes to FILE (see SmtpTestServer::SetLogFile). --sessions
// ends the program after N connections; otherwise it runs until it is
// interrupted or terminated.
//
// VERB is GREETING, EHLO, HELO, MAIL, RCPT, DATA, DOT (the end of a message
// text), QUIT, RSET, NOOP or * (any other command); #N scripts only its N-th
// occurrence in a session (RCPT#2: the second recipient), which wins over the
// script for every occurrence.
//
// --reply VERB=TEXT replies TEXT: a newline in TEXT becomes CR LF and CR LF is
// added at the end.
//
// --at scripts one fault. TEXT takes the escapes \r \n \t \\ and \xHH; unless
// the mode raw is given, every LF of it that has no CR before it becomes
// CR LF and CR LF is added when it does not end with a line end. The modes:
//   raw         TEXT exactly as written (bare LF line ends, garbage)
//   silent      answer nothing (TEXT is ignored); the server keeps reading
//   close       close the connection after TEXT
//   reset       abort the connection (RST) after TEXT
//   noread      after TEXT, read nothing more until the client closes
//   delay=MS    wait MS milliseconds before the first byte
//   bytes=MS    send TEXT one byte at a time, MS milliseconds apart
//   chunks=N/MS send TEXT in pieces of N bytes, MS milliseconds apart
//   pad=N       put N bytes "x" before the line end of TEXT (a long line)
// Examples:
//   --at GREETING=silent:                 --at RCPT#2=:550 5.1.1 no such user
//   --at EHLO=:250-first\n250 last        --at GREETING=bytes=1000:220 slow
//   --at EHLO=pad=1048576:250 big         --at DATA=noread:354 go ahead
//   --at GREETING=raw:220 bare\n          --at EHLO=:502 5.5.2 not implemented
#include <cctype>
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

using Reply = qw::SmtpTestServer::Reply;

int Usage(const std::string& why = "") {
  if (!why.empty()) std::fprintf(stderr, "smtp_test_server: %s\n", why.c_str());
  std::fprintf(stderr,
               "usage: smtp_test_server [--port N] [--port-file FILE] [--maildir DIR] [--log FILE]\n"
               "                        [--reply VERB[#N]=TEXT]... [--at VERB[#N]=[MODE,...]:TEXT]...\n"
               "                        [--sessions N]\n");
  return 2;
}

struct Scripted {
  std::string verb;
  int occurrence = 0;
  Reply reply;
};

// "VERB" or "VERB#N" into its parts; false when N is not a positive number.
bool ParseTarget(const std::string& target, std::string* verb, int* occurrence) {
  size_t hash = target.find('#');
  *verb = target.substr(0, hash);
  for (char& ch : *verb) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  *occurrence = 0;
  if (verb->empty()) return false;
  if (hash == std::string::npos) return true;
  char* end = nullptr;
  long n = std::strtol(target.c_str() + hash + 1, &end, 10);
  if (*end != '\0' || n < 1 || n > 1000000) return false;
  *occurrence = static_cast<int>(n);
  return true;
}

bool Decode(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *out += text[i];
      continue;
    }
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case 'r': *out += '\r'; break;
      case 'n': *out += '\n'; break;
      case 't': *out += '\t'; break;
      case '\\': *out += '\\'; break;
      case 'x': {
        std::string hex = text.substr(i + 1, 2);
        if (hex.size() != 2 || !std::isxdigit(static_cast<unsigned char>(hex[0])) ||
            !std::isxdigit(static_cast<unsigned char>(hex[1]))) {
          return false;
        }
        *out += static_cast<char>(std::strtol(hex.c_str(), nullptr, 16));
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

// Every LF without a CR before it becomes CR LF; a final line end is added.
std::string CrLfLines(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  if (!out.empty() && out.back() != '\n') out += "\r\n";
  return out;
}

long Number(const std::string& text, bool* ok) {
  char* end = nullptr;
  long n = std::strtol(text.c_str(), &end, 10);
  *ok = !text.empty() && *end == '\0' && n >= 0 && n <= 512L * 1024 * 1024;
  return n;
}

// One --at value into a scripted reply; the error text when it is not valid.
std::string ParseAt(const std::string& value, Scripted* out) {
  size_t eq = value.find('=');
  if (eq == std::string::npos) return "--at needs VERB=MODES:TEXT";
  if (!ParseTarget(value.substr(0, eq), &out->verb, &out->occurrence)) return "bad verb in --at " + value;
  std::string rest = value.substr(eq + 1);
  size_t colon = rest.find(':');
  if (colon == std::string::npos) return "--at needs a ':' before its text (" + value + ")";
  std::string modes = rest.substr(0, colon);
  std::string text;
  if (!Decode(rest.substr(colon + 1), &text)) return "bad escape in --at " + value;
  bool raw = false, silent = false, close = false, reset = false, noread = false;
  long delay = 0, pieceSize = 0, pieceDelay = 0, pad = 0;
  size_t at = 0;
  while (at < modes.size()) {
    size_t comma = modes.find(',', at);
    std::string mode = modes.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? modes.size() : comma + 1;
    bool ok = true;
    if (mode == "raw") {
      raw = true;
    } else if (mode == "silent") {
      silent = true;
    } else if (mode == "close") {
      close = true;
    } else if (mode == "reset") {
      reset = true;
    } else if (mode == "noread") {
      noread = true;
    } else if (mode.rfind("delay=", 0) == 0) {
      delay = Number(mode.substr(6), &ok);
    } else if (mode.rfind("bytes=", 0) == 0) {
      pieceSize = 1;
      pieceDelay = Number(mode.substr(6), &ok);
    } else if (mode.rfind("chunks=", 0) == 0) {
      std::string chunking = mode.substr(7);
      size_t slash = chunking.find('/');
      bool ok2 = false;
      pieceSize = Number(chunking.substr(0, slash), &ok);
      pieceDelay = slash == std::string::npos ? -1 : Number(chunking.substr(slash + 1), &ok2);
      ok = ok && ok2 && pieceSize > 0;
    } else if (mode.rfind("pad=", 0) == 0) {
      pad = Number(mode.substr(4), &ok);
    } else {
      ok = false;
    }
    if (!ok) return "bad mode '" + mode + "' in --at " + value;
  }
  if (pad > 0) {
    // Before the final line end (or at the end when there is none).
    size_t end = text.size();
    if (end > 0 && text[end - 1] == '\n') --end;
    if (end > 0 && text[end - 1] == '\r') --end;
    text.insert(end, std::string(static_cast<size_t>(pad), 'x'));
  }
  if (!raw) text = CrLfLines(text);
  Reply reply;
  if (silent) {
    reply = Reply::Silence();
  } else if (pieceSize > 0) {
    reply = Reply::Trickle(text, static_cast<size_t>(pieceSize), static_cast<int>(pieceDelay));
  } else {
    reply = Reply::Text(text);
  }
  if (!reply.pieces.empty()) reply.pieces[0].delayMs = static_cast<int>(delay);
  reply.close = close;
  reply.reset = reset;
  reply.stopReading = noread;
  out->reply = std::move(reply);
  return "";
}
}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  long sessions = 0;
  std::string portFile, mailDir, logFile;
  std::vector<Scripted> scripts;
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
    } else if (arg == "--log") {
      logFile = value;
    } else if (arg == "--sessions") {
      sessions = std::atol(value.c_str());
    } else if (arg == "--reply") {
      size_t eq = value.find('=');
      Scripted s;
      if (eq == std::string::npos || !ParseTarget(value.substr(0, eq), &s.verb, &s.occurrence)) return Usage();
      std::string text;
      for (char c : value.substr(eq + 1)) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
      s.reply = Reply::Text(text + "\r\n");
      scripts.push_back(std::move(s));
    } else if (arg == "--at") {
      Scripted s;
      std::string error = ParseAt(value, &s);
      if (!error.empty()) return Usage(error);
      scripts.push_back(std::move(s));
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
  for (auto& s : scripts) server.Script(s.verb, s.reply, s.occurrence);
  server.SetLogFile(logFile);
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
#ifdef SIGPIPE
  std::signal(SIGPIPE, SIG_IGN);
#endif
  while (!gStop) {
    if (sessions > 0 && server.WaitForSessions(static_cast<size_t>(sessions), 100)) break;
    if (sessions <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  server.Stop();
  std::printf("stopped after %zu message(s)\n", server.MessageCount());
  return 0;
}
