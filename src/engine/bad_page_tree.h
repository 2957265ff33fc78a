#pragma once
// The bad-page report: one root node per started job (its text is the port's
// volume), lines hung under it by the scan and the sequence. Shared by all
// workers and the front end, so every call takes a short lock.
//
// Start All empties the tree while other jobs may still run. A job keeps the
// id of its node; lines for a node that is gone are dropped, never attached to
// another job's node.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kvx {

class BadPageTree {
 public:
  using NodeId = std::uint64_t;  // 0 is "no node"

  struct Line {
    int level;  // 1 = directly under the root, 2 = under the previous level-1 line, ...
    std::string text;
  };
  struct Node {
    NodeId id;
    int port;
    std::string text;
    std::vector<Line> lines;
  };

  void clear();
  NodeId addRoot(int port, const std::string& text);
  // False when the node no longer exists (the line is dropped).
  bool addLine(NodeId node, const std::string& text, int level = 1);
  bool appendToRootText(NodeId node, const std::string& suffix);

  std::vector<Node> snapshot() const;
  std::uint64_t version() const;

 private:
  Node* find(NodeId id);

  mutable std::mutex mutex_;
  std::vector<Node> nodes_;
  NodeId nextId_ = 1;
  std::uint64_t version_ = 0;
};

}  // namespace kvx
