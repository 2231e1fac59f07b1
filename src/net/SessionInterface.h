#pragma once
// What a connection-slot thread needs from the session handler of its
// connection. A handler is built by the slot thread before it waits for a
// connection, serves exactly that one connection and is destroyed when it
// ends; every call below runs on that thread. What the session works with
// beyond its connection (configuration, main window) is the factory's
// business, not the slot's.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace kestrel {

class CSocketClass;

class ISessionHandler {
 public:
  virtual ~ISessionHandler() = default;
  // A connection arrived. connection: borrowed, belongs to the slot and stays
  // valid until OnConnectionEnd has returned. thread_number: the slot's index.
  virtual void OnConnection(CSocketClass* connection, int thread_number) = 0;
  // One read that delivered data: buffer holds `bytes` bytes (at most
  // kStreamReadSize), the next piece of the connection's byte stream.
  // Returns how many complete valid frames the read completed and the handler
  // took (the connection's sign of life for the watchdog).
  virtual std::size_t OnReceive(const std::uint8_t* buffer, std::size_t bytes) = 0;
  // A client or the remote tool is logged in on this connection.
  virtual bool authenticated() const = 0;
  // Told whenever authenticated() changes, before a reply that follows the
  // change goes out, so nobody learns of a login the slot does not know yet.
  // Set before OnConnection; a handler that never calls it is asked after
  // each read instead.
  using LoginObserver = std::function<void(bool authenticated)>;
  virtual void SetLoginObserver(LoginObserver observer) { (void)observer; }
  // The connection ended (closed, terminated or stopped): logout and clean-up.
  virtual void OnConnectionEnd() = 0;
};

// Builds one session handler; called on a slot thread.
using SessionFactory = std::function<std::unique_ptr<ISessionHandler>()>;

}  // namespace kestrel
