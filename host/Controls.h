// The common controls the system drives: a progress bar and a tree view. The dialog gives
// real widgets; the command line gives its own renderings.
#pragma once

#include <memory>
#include <string>

#include "host/Automation.h"

namespace nubra {

// Minimum, maximum and value are single-precision numbers. Setting a value outside
// [Min, Max] raises 380 (Invalid property value) and leaves the value unchanged.
class ProgressBar {
public:
    virtual ~ProgressBar() = default;
    virtual float Min() const = 0;
    virtual void SetMin(float v) = 0;
    virtual float Max() const = 0;
    virtual void SetMax(float v) = 0;
    virtual float Value() const = 0;
    virtual void SetValue(float v) = 0;
};

class TreeNode {
public:
    virtual ~TreeNode() = default;
    virtual std::string Key() const = 0;
    virtual std::string Text() const = 0;
    // 1-based creation order.
    virtual int Index() const = 0;
    // The texts from the root down to this node joined by "\".
    virtual std::string FullPath() const = 0;
    virtual void SetExpanded(bool expanded) = 0;
    // Picture index in the tree's image list (1-based); 0 for none.
    virtual void SetImage(int image) = 0;
};

// The node collection of a tree view.
class TreeNodes {
public:
    static constexpr int tvwChild = 4;
    virtual ~TreeNodes() = default;
    // Adds a root node (relative empty) or a child of the node keyed `relative`
    // (relationship tvwChild). Raises 35602 (Key is not unique) for a used key and
    // 35601 (Element not found) for an unknown relative; nothing is added then.
    virtual TreeNode& Add(const std::string& relative, int relationship, const std::string& key,
                          const std::string& text) = 0;
    virtual int Count() const = 0;
};

}  // namespace nubra
