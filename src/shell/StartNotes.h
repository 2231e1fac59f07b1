#pragma once
// Lines the start sequence finds before the logging window exists (the
// configuration read and the listen run first): kept in the order found and
// logged once the window is ready.
//
// Threads: main window thread only.
#include <string>
#include <vector>

#include "logging/LogChannel.h"

namespace kestrel {

class StartNotes {
 public:
  void Add(int level, std::string text) { notes_.push_back(Note{level, std::move(text)}); }
  // Logs every kept line, oldest first, and forgets them.
  void Flush(const LogChannel& log) {
    for (Note& note : notes_) log.Log(note.level, std::move(note.text));
    notes_.clear();
  }
  void Clear() { notes_.clear(); }

 private:
  struct Note {
    int level;
    std::string text;
  };
  std::vector<Note> notes_;
};

}  // namespace kestrel
