// What the viewer's log of its Wayland messages (WAYLAND_DEBUG=client, written to its standard
// error) tells of it: the titles it set, and where its own pointer stands on its window. The log
// is read as it grows, each part once.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fractal::e2e {

// A position relative to the top-left corner of the window's content (the picture), in pixels.
struct ContentPosition {
  double x = 0;
  double y = 0;
};

class WaylandLog {
 public:
  explicit WaylandLog(std::filesystem::path path) : path_(std::move(path)) {}

  // Reads what the viewer has written since the last call.
  void Update();

  const std::vector<std::string>& titles() const { return titles_; }
  // The lines that are not the Wayland library's: what the viewer itself wrote.
  const std::string& errors() const { return errors_; }
  // How many events the viewer's pointer has received: enter, leave and motion.
  std::size_t pointer_events() const { return pointer_events_; }
  std::size_t pointer_motions() const { return pointer_motions_; }
  // Where the viewer's pointer stands, relative to the content, when it is over one of the
  // window's surfaces (the content or a decoration placed on it); nothing when it is elsewhere.
  std::optional<ContentPosition> Pointer() const;

 private:
  struct Offset {
    unsigned parent = 0;  // the surface it is placed on; 0 for a surface of its own
    int x = 0;
    int y = 0;
  };
  void Parse(std::string_view line);
  void Request(std::string_view target, std::string_view name, std::string_view arguments);
  void Event(std::string_view target, std::string_view name, std::string_view arguments);

  std::filesystem::path path_;
  std::size_t read_ = 0;
  std::string partial_;  // the last line, while the viewer has not finished it
  std::vector<std::string> titles_;
  std::string errors_;

  unsigned content_ = 0;                 // the wl_surface the window's role was given to
  std::map<unsigned, Offset> offsets_;   // by wl_surface
  std::map<unsigned, unsigned> placed_;  // wl_subsurface -> the wl_surface it places
  unsigned pointer_ = 0;                 // the first wl_pointer the viewer asked for
  unsigned pointer_surface_ = 0;         // the surface the pointer is over; 0 for none
  ContentPosition pointer_at_;           // on that surface
  std::size_t pointer_events_ = 0;
  std::size_t pointer_motions_ = 0;
};

}  // namespace fractal::e2e
