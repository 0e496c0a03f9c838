#include "tests/e2e/wayland_log.h"

#include <charconv>
#include <fstream>
#include <iterator>

namespace fractal::e2e {
namespace {

// The object a message names: "wl_pointer@12" is 12, also after "new id ".
unsigned IdIn(std::string_view object) {
  const std::size_t at = object.rfind('@');
  unsigned id = 0;
  if (at != std::string_view::npos) {
    std::from_chars(object.data() + at + 1, object.data() + object.size(), id);
  }
  return id;
}

// The arguments of a message, split at ", ". (Only strings could hold one, and no message read
// here has a string.)
std::vector<std::string_view> Split(std::string_view arguments) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0; start <= arguments.size();) {
    const std::size_t end = std::min(arguments.find(", ", start), arguments.size());
    parts.push_back(arguments.substr(start, end - start));
    start = end + 2;
  }
  return parts;
}

double NumberIn(std::string_view text) { return std::stod(std::string(text)); }

}  // namespace

void WaylandLog::Update() {
  std::ifstream file(path_, std::ios::binary);
  if (!file) return;
  file.seekg(static_cast<std::streamoff>(read_));
  const std::string added{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  read_ += added.size();
  partial_ += added;
  std::size_t start = 0;
  for (std::size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
    Parse(std::string_view(partial_).substr(start, end - start));
  }
  partial_.erase(0, start);
}

// The library's lines read "[time] object.message(arguments)" for an event the viewer receives,
// and "[time]  -> object.message(arguments)" for a request it sends.
void WaylandLog::Parse(std::string_view line) {
  if (!line.starts_with("[")) {
    errors_.append(line).append("\n");
    return;
  }
  const std::size_t title = line.find(".set_title(\"");
  if (title != std::string_view::npos) {
    const std::size_t text = title + 12;
    titles_.emplace_back(line.substr(text, line.rfind("\")") - text));
    return;
  }
  std::size_t start = line.find("] ");
  const std::size_t open = line.find('(');
  const std::size_t close = line.rfind(')');
  if (start == std::string_view::npos || open == std::string_view::npos || close < open) return;
  std::string_view message = line.substr(start + 2, open - start - 2);
  const bool request = message.starts_with(" -> ");
  if (request) message.remove_prefix(4);
  const std::size_t dot = message.find('.');
  if (dot == std::string_view::npos) return;
  const std::string_view target = message.substr(0, dot);
  const std::string_view name = message.substr(dot + 1);
  const std::string_view arguments = line.substr(open + 1, close - open - 1);
  if (request) {
    Request(target, name, arguments);
  } else {
    Event(target, name, arguments);
  }
}

void WaylandLog::Request(std::string_view target, std::string_view name,
                         std::string_view arguments) {
  const std::vector<std::string_view> args = Split(arguments);
  if (name == "create_surface" && args.size() == 1) {
    offsets_[IdIn(args[0])] = {};  // an id may be reused for a new surface
  } else if (name == "get_xdg_surface" && args.size() == 2) {
    content_ = IdIn(args[1]);
  } else if (name == "get_subsurface" && args.size() == 3) {
    placed_[IdIn(args[0])] = IdIn(args[1]);
    offsets_[IdIn(args[1])].parent = IdIn(args[2]);
  } else if (target.starts_with("wl_subsurface@") && name == "set_position" && args.size() == 2) {
    Offset& offset = offsets_[placed_[IdIn(target)]];
    offset.x = static_cast<int>(NumberIn(args[0]));
    offset.y = static_cast<int>(NumberIn(args[1]));
  } else if (name == "get_pointer" && args.size() == 1 && pointer_ == 0) {
    pointer_ = IdIn(args[0]);
  }
}

void WaylandLog::Event(std::string_view target, std::string_view name, std::string_view arguments) {
  if (pointer_ == 0 || !target.starts_with("wl_pointer@") || IdIn(target) != pointer_) return;
  const std::vector<std::string_view> args = Split(arguments);
  if (name == "enter" && args.size() == 4) {
    pointer_surface_ = IdIn(args[1]);
    pointer_at_ = {NumberIn(args[2]), NumberIn(args[3])};
  } else if (name == "leave") {
    pointer_surface_ = 0;
  } else if (name == "motion" && args.size() == 3) {
    pointer_at_ = {NumberIn(args[1]), NumberIn(args[2])};
    ++pointer_motions_;
  } else {
    return;
  }
  ++pointer_events_;
}

std::optional<ContentPosition> WaylandLog::Pointer() const {
  ContentPosition at = pointer_at_;
  unsigned surface = pointer_surface_;
  // Decorations are placed on the content, or on a surface placed on it: a few steps at most.
  for (int step = 0; step < 8 && surface != 0; ++step) {
    if (surface == content_) return at;
    const auto offset = offsets_.find(surface);
    if (offset == offsets_.end()) return std::nullopt;
    at.x += offset->second.x;
    at.y += offset->second.y;
    surface = offset->second.parent;
  }
  return std::nullopt;
}

}  // namespace fractal::e2e
