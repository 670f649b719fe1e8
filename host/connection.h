// One client connection of corvane-httpd on the event loop: reads and
// parses requests asynchronously, hands each complete request to the
// worker pool for the extension call, and writes each answer in one
// system call where the socket takes it.
//
// At most one operation of a connection is under way at any time (a read,
// an extension call, a write), and each step starts the next; so a
// connection needs no strand. Deadlines are kept as numbers and enforced by
// the server's sweeper (CheckDeadline), which cuts the socket: the pending
// operation then ends and the connection reacts. Owned by the server's
// registry until it closes; handlers hold it alive while they run.
#ifndef CORVANE_HOST_CONNECTION_H_
#define CORVANE_HOST_CONNECTION_H_

#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "host/http_host.h"

namespace corvane {

class Server;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(boost::asio::ip::tcp::socket socket, Server& server,
             PeerInfo peer);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Starts reading the first request.
  void Start();

  // Cuts the connection when its deadline has passed at `now_ms`: a body
  // that missed its deadline gets 408, anything else ends silently.
  // Thread-safe.
  void CheckDeadline(int64_t now_ms);

  // When the server stops: ends the connection now if it waits for a
  // request; otherwise it ends after the answer in progress. Thread-safe.
  void StopIfIdle();

  // Ends the connection whatever it does (after the drain time).
  // Thread-safe.
  void Cut();

 private:
  enum class Phase { kIdle, kHeader, kBody, kCall, kWrite, kLinger, kClosed };

  void Read();
  void OnRead(const boost::system::error_code& ec, std::size_t n);
  void Process();
  void Dispatch(Request request);
  void Send(Answer answer);
  // Writes `bytes` now, on the calling worker thread, waiting at most the
  // write timeout (a streamed answer); false on failure.
  bool WriteNow(std::string_view bytes);
  void SendRest();
  void AfterSend();
  void Finish();
  void Linger();
  void Close();
  // Sets the phase and its deadline (0: none); false when the connection
  // was cut meanwhile.
  bool Enter(Phase phase, int64_t deadline_ms);

  boost::asio::ip::tcp::socket socket_;
  Server& server_;
  const PeerInfo peer_;
  RequestReader reader_;
  char read_buf_[16384];
  Answer answer_;            // The answer being written.
  std::size_t answer_sent_ = 0;  // Bytes of head and body written so far.
  bool slot_held_ = true;    // Counts against the connection cap.
  std::size_t lingered_ = 0;  // Bytes read and dropped after the last answer.

  std::mutex mutex_;         // Guards the fields below and the socket's fd
                             // against closing while it is cut.
  Phase phase_ = Phase::kIdle;
  int64_t deadline_ms_ = 0;  // 0: none.
  bool cut_ = false;         // The socket was shut by a deadline or a stop.
  Phase cut_phase_ = Phase::kIdle;  // The phase it was cut in.
  bool closed_ = false;
};

}  // namespace corvane

#endif  // CORVANE_HOST_CONNECTION_H_
