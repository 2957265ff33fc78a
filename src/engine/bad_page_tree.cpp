#include "engine/bad_page_tree.h"

namespace kvx {

void BadPageTree::clear() {
  std::lock_guard lock(mutex_);
  nodes_.clear();
  ++version_;
}

BadPageTree::NodeId BadPageTree::addRoot(int port, const std::string& text) {
  std::lock_guard lock(mutex_);
  nodes_.push_back({nextId_, port, text, {}});
  ++version_;
  return nextId_++;
}

BadPageTree::Node* BadPageTree::find(NodeId id) {
  for (auto& n : nodes_)
    if (n.id == id) return &n;
  return nullptr;
}

bool BadPageTree::addLine(NodeId node, const std::string& text, int level) {
  std::lock_guard lock(mutex_);
  Node* n = find(node);
  if (!n) return false;
  n->lines.push_back({level < 1 ? 1 : level, text});
  ++version_;
  return true;
}

bool BadPageTree::appendToRootText(NodeId node, const std::string& suffix) {
  std::lock_guard lock(mutex_);
  Node* n = find(node);
  if (!n) return false;
  n->text += suffix;
  ++version_;
  return true;
}

std::vector<BadPageTree::Node> BadPageTree::snapshot() const {
  std::lock_guard lock(mutex_);
  return nodes_;
}

std::uint64_t BadPageTree::version() const {
  std::lock_guard lock(mutex_);
  return version_;
}

}  // namespace kvx
