#include "core/containers.h"

#include "core/platform/platform.h"

void NoteHeapGrowth() { Platform::AdviseHeapGrowth(); }

namespace AvlTree {
namespace {

// Points whatever referred to `from` (its parent's link or the root) at `to`.
void ReplaceChild(TNodeBase* parent, TNodeBase* from, TNodeBase* to, TNodeBase** root) {
  if (!parent) {
    *root = to;
  } else if (parent->left == from) {
    parent->left = to;
  } else {
    parent->right = to;
  }
  if (to) to->parent = parent;
}

void RotateLeft(TNodeBase* x, TNodeBase** root) {
  TNodeBase* y = x->right;
  x->right = y->left;
  if (y->left) y->left->parent = x;
  ReplaceChild(x->parent, x, y, root);
  y->left = x;
  x->parent = y;
}

void RotateRight(TNodeBase* x, TNodeBase** root) {
  TNodeBase* y = x->left;
  x->left = y->right;
  if (y->right) y->right->parent = x;
  ReplaceChild(x->parent, x, y, root);
  y->right = x;
  x->parent = y;
}

// Node p leans two levels to the right. Returns true when the subtree got
// shorter (false only when the child was balanced, i.e. during removal).
bool RebalanceRight(TNodeBase* p, TNodeBase** root) {
  TNodeBase* r = p->right;
  if (r->balance >= 0) {
    RotateLeft(p, root);
    if (r->balance == 0) {
      p->balance = 1;
      r->balance = -1;
      return false;
    }
    p->balance = r->balance = 0;
    return true;
  }
  TNodeBase* rl = r->left;
  RotateRight(r, root);
  RotateLeft(p, root);
  p->balance = rl->balance > 0 ? -1 : 0;
  r->balance = rl->balance < 0 ? 1 : 0;
  rl->balance = 0;
  return true;
}

bool RebalanceLeft(TNodeBase* p, TNodeBase** root) {
  TNodeBase* l = p->left;
  if (l->balance <= 0) {
    RotateRight(p, root);
    if (l->balance == 0) {
      p->balance = -1;
      l->balance = 1;
      return false;
    }
    p->balance = l->balance = 0;
    return true;
  }
  TNodeBase* lr = l->right;
  RotateLeft(l, root);
  RotateRight(p, root);
  p->balance = lr->balance < 0 ? 1 : 0;
  l->balance = lr->balance > 0 ? -1 : 0;
  lr->balance = 0;
  return true;
}

// Walks up from p after its left (or right) subtree got shorter.
void RetraceRemoval(TNodeBase* p, bool fromLeft, TNodeBase** root) {
  while (p) {
    p->balance = static_cast<int8_t>(p->balance + (fromLeft ? 1 : -1));
    TNodeBase* parent = p->parent;
    bool parentFromLeft = parent && parent->left == p;
    if (p->balance == 1 || p->balance == -1) return;
    if (p->balance == 2 || p->balance == -2) {
      bool shorter = p->balance > 0 ? RebalanceRight(p, root) : RebalanceLeft(p, root);
      if (!shorter) return;
    }
    p = parent;
    fromLeft = parentFromLeft;
  }
}

}  // namespace

TNodeBase* First(TNodeBase* root) {
  if (!root) return nullptr;
  while (root->left) root = root->left;
  return root;
}

TNodeBase* Next(TNodeBase* node) {
  if (node->right) return First(node->right);
  while (node->parent && node->parent->right == node) node = node->parent;
  return node->parent;
}

void LinkAndRebalance(TNodeBase* parent, TNodeBase** slot, TNodeBase* node, TNodeBase** root) {
  node->left = node->right = nullptr;
  node->parent = parent;
  node->balance = 0;
  *slot = node;
  TNodeBase* child = node;
  for (TNodeBase* p = parent; p; child = p, p = p->parent) {
    int8_t old = p->balance;
    p->balance = static_cast<int8_t>(old + (p->left == child ? -1 : 1));
    if (old != 0) {
      if (p->balance == 2) RebalanceRight(p, root);
      if (p->balance == -2) RebalanceLeft(p, root);
      return;
    }
  }
}

TNodeBase* Unlink(TNodeBase* z, TNodeBase** root) {
  TNodeBase* y = nullptr;
  if (z->left && (z->balance <= 0 || !z->right)) {
    y = z->left;
    while (y->right) y = y->right;
  } else if (z->right) {
    y = z->right;
    while (y->left) y = y->left;
  }
  if (!y) {
    TNodeBase* p = z->parent;
    bool fromLeft = p && p->left == z;
    ReplaceChild(p, z, nullptr, root);
    RetraceRemoval(p, fromLeft, root);
    return z;
  }
  // Take y out of its place (it has at most one child), then put it where z was.
  TNodeBase* p = y->parent;
  bool fromLeft = p->left == y;
  ReplaceChild(p, y, y->left ? y->left : y->right, root);
  y->left = z->left;
  y->right = z->right;
  if (y->left) y->left->parent = y;
  if (y->right) y->right->parent = y;
  y->balance = z->balance;
  ReplaceChild(z->parent, z, y, root);
  RetraceRemoval(p == z ? y : p, fromLeft, root);
  return z;
}

}  // namespace AvlTree
