// The application server's HTTP side: httplib reads and answers each request, while this class
// owns the connections, so that a client cannot hold the server up by being slow.
//
// - A connection waits for its request (the request line, the headers and the body) on one
//   thread that watches every such connection at once; only a complete request is handed to a
//   worker. Connections that send half a request, or nothing, cost a descriptor and a buffer,
//   never a worker, and are closed when their time is up: a head that has not arrived within
//   the header time-out, a body that stops arriving for the read time-out (408 for both).
//   A request whose body a worker must judge as it comes goes to the worker with its head: a
//   body over the limit (413), one framed in a way the watcher does not know, or one that its
//   client sends only when told to go on ("Expect: 100-continue"). So does a body that arrives
//   while the bodies the watcher holds take what the workers could hold (workers x the body
//   limit), so that slow bodies cannot take more memory than before.
// - A fixed number of workers answer; an answer that the client stops taking for the read
//   time-out ends its connection.
// - Between requests a kept-alive connection goes back to the watching thread, where it may
//   stay idle for the idle time-out without holding a worker; a stop closes it at once.
// - Past the connection limit, the waiting connection nearest to its time-out is closed to make
//   room (a head that has been slow longest goes before an idle one), so that a client opening
//   connections without end cannot shut others out.
// - With TLS, the handshake is made on the watching thread too (without blocking), and
//   everything after it travels encrypted.
// The watching thread is in http_watcher.cpp, how far a request has arrived in http_framing.h,
// a connection and its stream in http_connection.h, the certificate in tls_context.h; this
// class's own .cpp holds the workers and the hand-over of connections between them.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "server/http_limits.h"
#include "server/tls_context.h"

namespace zeb::server {

class HttpServer : public httplib::Server {
 public:
  // "tls" null: plain HTTP. Routes and handlers are set on httplib::Server as usual.
  HttpServer(HttpLimits limits, std::shared_ptr<TlsContext> tls);
  ~HttpServer() override;

  // Starts the watching thread and the workers; after binding, before listen_after_bind().
  void startConnections();
  // After httplib's stop() and the end of listen_after_bind(): closes every connection that
  // waits for a request, lets the requests under way end, and joins the threads.
  void stopConnections();

  // The body of the refusals that this class answers itself (a head too large, too slow),
  // made from their message; the message alone when none is set.
  void setRefusalBody(std::function<std::string(const std::string& message)> body) {
    refusalBody_ = std::move(body);
  }

  // Called from a handler: the connection is closed once this request is answered (a request
  // refused before its body was read leaves that body unread).
  static void closeAfterAnswer();

  const HttpLimits& limits() const { return limits_; }

 private:
  struct Connection;
  struct Impl;
  class ConnectionStream;

  // Takes over a socket that httplib has accepted: it goes to the watching thread.
  bool process_and_close_socket(socket_t sock) override;
  void serve(std::unique_ptr<Connection> connection);
  // After an answer: true when the client's next request arrives complete at once.
  bool nextHeadCame(Connection& connection);

  HttpLimits limits_;
  std::function<std::string(const std::string&)> refusalBody_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zeb::server
