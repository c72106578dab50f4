// Where DCMTK writes a received object: a descriptor of the spool, written
// with write(2) so that every failure (a full disk first of all) is seen at
// once, and a size limit (--max-object-size) the object may reach but not
// pass. The data set's bytes are hashed as they come (the spool's content
// hash, ObjectContentHash), so that the worker need not read the object
// again for its done marker.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcerror.h>
#include <dcmtk/dcmdata/dcostrma.h>

#include <cstdint>
#include <string>

#include "node/sha256.h"

class ReceivedObjectConsumer : public DcmConsumer {
 public:
  ReceivedObjectConsumer(int fd, std::uint64_t limit) : fd_(fd), limit_(limit) {}
  OFBool good() const override { return error_.empty(); }
  OFCondition status() const override { return good() ? EC_Normal : EC_StreamNotifyClient; }
  OFBool isFlushed() const override { return OFTrue; }
  offile_off_t avail() const override { return good() ? 1 << 30 : 0; }
  offile_off_t write(const void* buf, offile_off_t buflen) override;
  void flush() override {}
  // Why the object cannot be kept; empty while it can.
  const std::string& error() const { return error_; }
  // What is written from now on is the data set, and hashed.
  void BeginDataSet() { hashing_ = true; }
  // The SHA-256 of the data set as hex; once, after the last write.
  std::string ContentHash() { return hash_.HexDigest(); }

 private:
  int fd_;
  bool hashing_ = false;
  Sha256 hash_;
  std::uint64_t limit_;
  std::uint64_t written_ = 0;
  std::string error_;
};

class ReceivedObjectStream : public DcmOutputStream {
 public:
  // The base keeps a pointer to the consumer, built just after it.
  ReceivedObjectStream(int fd, std::uint64_t limit)
      : DcmOutputStream(&consumer_), consumer_(fd, limit) {}
  const std::string& error() const { return consumer_.error(); }
  // DCMTK's output stream hands every byte on at once (no filter is set):
  // what is written after this call is the data set.
  void BeginDataSet() { consumer_.BeginDataSet(); }
  std::string ContentHash() { return consumer_.ContentHash(); }

 private:
  ReceivedObjectConsumer consumer_;
};
