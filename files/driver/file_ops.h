// The thin routines that application code calls: each selects an operation
// code and runs it through the dispatch. Outcomes are read from the error
// state (ERRORCODE) right after the call, as with every file statement.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "files/driver/descriptors.h"
#include "files/driver/driver.h"

namespace files {

void open(FileDescriptor& f, std::uint32_t mode = 0x22);
void share(FileDescriptor& f, std::uint32_t mode = 0x42);
void close(FileDescriptor& f);
void create(FileDescriptor& f);
void add(FileDescriptor& f);
void add(FileDescriptor& f, std::uint32_t length);
void append(FileDescriptor& f);
void append(FileDescriptor& f, std::uint32_t length);
void put(FileDescriptor& f);                       // rewrite the current record
void put(FileDescriptor& f, std::uint32_t pointer);
void put(FileDescriptor& f, std::uint32_t pointer, std::uint32_t length);
void erase(FileDescriptor& f);                     // DELETE the current record
void get(FileDescriptor& f, KeyDescriptor& key);   // by key value in the record buffer
void get(FileDescriptor& f, std::uint32_t pointer);
void get(FileDescriptor& f, std::uint32_t pointer, std::uint32_t length);
void get(KeyDescriptor& key, std::uint32_t pointer);
void set(FileDescriptor& f);                       // record order from the start
void set(FileDescriptor& f, KeyDescriptor& key);   // record order from a key value
void set_pointer(FileDescriptor& f, std::uint32_t pointer);
void set(KeyDescriptor& key);                      // key order from the start
void set(KeyDescriptor& key, KeyDescriptor& value_key);
void set_pointer(KeyDescriptor& key, std::uint32_t pointer);
void set(KeyDescriptor& key, KeyDescriptor& value_key, std::uint32_t pointer);
void reset(FileDescriptor& f, std::string_view position);
void reset(KeyDescriptor& key, std::string_view position);
void next(FileDescriptor& f);
// NEXT, answering what BYTES would answer right after it when the driver
// tells it in the same call (the text-line driver does: the bytes of the
// record read, end of record included); 0 when the read failed or the
// driver does not tell. A successful read is never 0 bytes long there, so a
// caller that gets 0 after a successful read asks BYTES.
std::int32_t next_bytes(FileDescriptor& f);
void previous(FileDescriptor& f);
void skip(FileDescriptor& f, std::int32_t count);
std::int32_t records(FileDescriptor& f);
std::int32_t records(KeyDescriptor& key);
std::int32_t bytes(FileDescriptor& f);
std::string position(FileDescriptor& f);
std::string position(KeyDescriptor& key);
std::int32_t pointer(FileDescriptor& f);
std::int32_t pointer(KeyDescriptor& key);
void reget(FileDescriptor& f, std::string_view position);
void reget(KeyDescriptor& key, std::string_view position);
bool bof(FileDescriptor& f);
bool eof(FileDescriptor& f);
void watch(FileDescriptor& f);
void hold(FileDescriptor& f);
void hold(FileDescriptor& f, std::uint32_t seconds);
void release(FileDescriptor& f);
void lock(FileDescriptor& f);
void lock(FileDescriptor& f, std::uint32_t seconds);
void unlock(FileDescriptor& f);
// LOGOUT of one file, without a time-out: begins a transaction over `f`
// (waiting while another program updates it), or adds `f` to this program's
// running transaction (5 at once when another program keeps the file).
void logout(FileDescriptor& f);
// LOGOUT(seconds, files...): begins a transaction over all the files or over
// none. While another program keeps one of them (its own transaction, or an
// update under way) it waits at most `seconds` and then fails with 5 "Access
// Denied", leaving no file enlisted. A transaction already running in this
// program fails it with 56 "LOGOUT Already Active"; a file that is not open,
// 37; one of another driver, 80; no file at all, 78. From here to COMMIT or
// ROLLBACK no other program can update the enlisted files (they still read
// the last committed state), so what the transaction read stays true until
// it commits. The error is posted against the first file.
void logout(std::uint32_t seconds, std::initializer_list<FileDescriptor*> files);
void commit(FileDescriptor& f);
void rollback(FileDescriptor& f);
void build(FileDescriptor& f);
void build(KeyDescriptor& key);
void flush(FileDescriptor& f);
void stream(FileDescriptor& f);
std::string send(FileDescriptor& f, std::string_view message);
void remove(FileDescriptor& f);
void rename(FileDescriptor& f, std::string_view new_name);
void copy(FileDescriptor& f, std::string_view new_name);
std::string name(FileDescriptor& f);
void empty(FileDescriptor& f);
bool duplicate(FileDescriptor& f);
bool duplicate(KeyDescriptor& key);
void clear(FileDescriptor& f);
void set_property(FileDescriptor& f, std::string_view property, std::string_view value);
std::string get_property(FileDescriptor& f, std::string_view property);

}  // namespace files
