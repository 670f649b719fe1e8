// The effects a turn has outside the conversation: starting a program
// ("Action"), appending a line to a log file ("Log This") and writing a
// collection file ("Save Collection"). A turn acts only through the effect
// sink of its conversation, so that a conversation restored from a
// snapshot, or replayed to check it, never repeats what it did outside:
// the restored one did not redo the turns before the snapshot, and a replay
// is given a sink that discards.
//
// Thread-safe: the real sink keeps no state, and a sink shared by several
// conversations must be safe for concurrent calls.
#ifndef CORVANE_ENGINE_EFFECTS_H_
#define CORVANE_ENGINE_EFFECTS_H_

#include <string>
#include <string_view>

namespace corvane {

class PathMapper;

class EffectSink {
 public:
  virtual ~EffectSink() = default;

  // Starts the command line (not expanded) in the knowledge base's root,
  // without waiting. Failures are ignored.
  virtual void Launch(std::string_view command_line,
                      const PathMapper& paths) = 0;
  // Appends `line` (one line, ended by CR LF) to the file `file` names
  // beneath the root. Failures and refusals are ignored.
  virtual void AppendLog(std::string_view file, std::string_view line,
                         const PathMapper& paths) = 0;
  // Replaces the file `file` names beneath the root by `data`. Failures
  // and refusals are ignored.
  virtual void ReplaceFile(std::string_view file, std::string_view data,
                           const PathMapper& paths) = 0;
};

// The sink that acts: programs are started, files written beneath the
// root. Every conversation uses it unless given another.
EffectSink& RealEffects();

// A sink that does nothing, for replays and checks.
EffectSink& DiscardedEffects();

}  // namespace corvane

#endif  // CORVANE_ENGINE_EFFECTS_H_
