// One connection to the database file that the store's calls of a run share, instead of each
// opening the file and reading its schema again. While a `shared_connection` is open, the calls
// on its file take the connection in turn (a call on another thread waits until the one before
// has finished its statements); without one, or for another file, each call opens its own as
// before. The connection serves only the process that opened it: close it before a fork whose
// child uses the store. Transactions that span several calls keep connections of their own.
#pragma once

#include <mutex>
#include <string>

struct sqlite3;

class shared_connection {
  public:
    shared_connection() = default;
    ~shared_connection() { close(); }
    shared_connection(const shared_connection&) = delete;
    shared_connection& operator=(const shared_connection&) = delete;

    // Shares a connection to the file from now on; false, with nothing shared and nothing said,
    // when it cannot be opened (each call then opens its own and says why it cannot).
    // `long_lived`: the connection serves a process that writes now and then for hours (the
    // watch and its workers): its rollback journal stays between writes, its header cleared
    // (at most 1 MiB of it kept), instead of being made and deleted at each.
    bool open(const std::string& db_path, bool long_lived = false);
    // Each call opens its own connection again.
    void close();

  private:
    bool opened_ = false;
};

// The shared connection for one call on the file, held by this thread until the handle goes;
// empty when none is shared on that file in this process.
class borrowed_connection {
  public:
    borrowed_connection() = default;
    borrowed_connection(std::unique_lock<std::recursive_mutex> lock, sqlite3* db)
        : lock_(std::move(lock)), db_(db) {}
    sqlite3* get() const { return db_; }
    explicit operator bool() const { return db_ != nullptr; }

  private:
    std::unique_lock<std::recursive_mutex> lock_;
    sqlite3* db_ = nullptr;
};

borrowed_connection borrow_shared_connection(const std::string& db_path);
