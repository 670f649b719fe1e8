// `corvane graph`: the shape of a bot as a Graphviz graph. Modes and the
// steps of procedures are nodes; the responses and tasks that move the
// conversation (Mode Change, Start Proc, Call Proc, Goto Step, Proc Return,
// Halt Proc) are edges, labelled with the type and the file and line of the
// pattern that makes them.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "engine/a1U2.h"
#include "engine/type_tables.h"
#include "langfile/CorvLangU.h"
#include "platform/atomic_file.h"
#include "text/text_util.h"

namespace corvane {

const char kGraphUsage[] =
    "Usage: corvane graph [--svg] [-o OUT] FILE.clf\n"
    "\n"
    "Writes the shape of the knowledge base FILE.clf as a Graphviz graph\n"
    "(DOT) on standard output: every mode, and every step inside a box for\n"
    "its procedure, with an arrow for each response or task that moves the\n"
    "conversation (Mode Change, Start Proc, Call Proc, Goto Step, Proc\n"
    "Return, Halt Proc), labelled with its type and the file and line of\n"
    "the pattern that makes it. A target that a macro decides while the\n"
    "bot runs is drawn as a dashed arrow to a node with its text.\n"
    "\n"
    "Options:\n"
    "  --svg       write SVG instead, drawn by Graphviz's 'dot' (which must\n"
    "              be installed)\n"
    "  -o OUT      write to the file OUT; a name ending in .svg means --svg\n"
    "  -h, --help  show this text\n"
    "\n"
    "Exit status: 0 when written, 1 when 'dot' is missing or fails or OUT\n"
    "cannot be written, 2 for a usage error or a file that cannot be read.\n";

namespace {

// A text between double quotes as DOT reads it.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\r' || c == '\n') {
      out += ' ';
      continue;
    }
    out += c;
  }
  return out + "\"";
}

bool IsDynamic(const std::string& name) {
  return name.find('^') != std::string::npos;
}

const StepClass* FindStep(const ProcClass& proc, const std::string& name) {
  const int index = proc.StepNames.IndexOf(name);
  return index < 0 ? nullptr : proc.Steps.At(index);
}

class GraphWriter {
 public:
  explicit GraphWriter(const BrainClass& brain) : brain_(brain) {}

  std::string Dot() {
    for (int m = 0; m < brain_.Modes.Count(); ++m) {
      const KnowledgeClass* mode = brain_.Modes.At(m);
      const std::string from = ModeNode(mode->Name);
      for (const auto& p : mode->Patterns) {
        const std::string where = SourceText(p->source());
        Responses(p->Responses, from, nullptr, where);
        for (const auto& t : p->Thresholds)
          Responses(t->Responses, from, nullptr, where);
        for (const auto& s : p->StateResponses)
          Responses(s->Responses, from, nullptr, where);
      }
    }
    for (const auto& proc : brain_.Procs)
      for (const auto& step : proc->Steps)
        for (const auto& sp : step->StepPatterns)
          Responses(sp->Responses, StepNode(*proc, step->Name), proc.get(),
                    SourceText(sp->source()));

    std::string out =
        "digraph corvane {\n"
        "  rankdir=LR;\n"
        "  node [fontname=\"Helvetica\", fontsize=11];\n"
        "  edge [fontname=\"Helvetica\", fontsize=9];\n";
    for (int m = 0; m < brain_.Modes.Count(); ++m) {
      const std::string& name = brain_.Modes.At(m)->Name;
      out += "  " + ModeNode(name) +
             " [shape=box, style=rounded, label=" + Quoted("mode " + name) +
             "];\n";
    }
    for (const auto& proc : brain_.Procs) {
      out += "  subgraph " + Quoted("cluster_" + proc->Name) + " {\n";
      out += "    label=" + Quoted("procedure " + proc->Name) + ";\n";
      for (const auto& step : proc->Steps)
        out += "    " + StepNode(*proc, step->Name) +
               " [label=" + Quoted(step->Name) +
               (step->Name == proc->StartStep ? ", peripheries=2" : "") +
               "];\n";
      if (ends_.count(proc->Name) > 0)
        out += "    " + EndNode(*proc) +
               " [shape=point, width=0.15, label=\"\"];\n";
      out += "  }\n";
    }
    for (const auto& [id, label] : unknown_)
      out += "  " + id + " [shape=note, label=" + Quoted(label) + "];\n";
    for (const Edge& e : edges_) {
      // Two lines: the quoted texts joined by DOT's line break.
      const std::string type = Quoted(e.type);
      out += "  " + e.from + " -> " + e.to +
             " [label=" + type.substr(0, type.size() - 1) + "\\n" +
             Quoted(e.where).substr(1) + (e.dashed ? ", style=dashed" : "") +
             "];\n";
    }
    out += "}\n";
    return out;
  }

 private:
  struct Edge {
    std::string from, to, type, where;
    bool dashed = false;
    bool operator<(const Edge& o) const {
      return std::tie(from, to, type, where) <
             std::tie(o.from, o.to, o.type, o.where);
    }
  };

  static std::string ModeNode(const std::string& name) {
    return Quoted("mode:" + UpperAscii(name));
  }
  static std::string StepNode(const ProcClass& proc, const std::string& step) {
    return Quoted("step:" + UpperAscii(proc.Name) + ":" + UpperAscii(step));
  }
  static std::string EndNode(const ProcClass& proc) {
    return Quoted("end:" + UpperAscii(proc.Name));
  }

  // The node of a target that a macro decides at run time.
  std::string Unknown(const std::string& type, const std::string& text) {
    const std::string id = Quoted("dynamic:" + type + ":" + text);
    unknown_.emplace(id, type + " " + text);
    return id;
  }

  void AddEdge(const std::string& from, const std::string& to,
               const std::string& type, const std::string& where,
               bool dashed = false) {
    if (seen_.insert({from, to, type, where, dashed}).second)
      edges_.push_back({from, to, type, where, dashed});
  }

  // The start step of a procedure, or the procedure's unknown node.
  std::string ProcTarget(const std::string& type, const std::string& name) {
    const int index = brain_.ProcNames.IndexOf(Trim(name));
    if (IsDynamic(name) || index < 0) return Unknown(type, name);
    const ProcClass* proc = brain_.Procs.At(index);
    const StepClass* start = FindStep(*proc, proc->StartStep);
    if (start == nullptr) return Unknown(type, name + " (no steps)");
    return StepNode(*proc, start->Name);
  }

  template <typename R>
  void Move(const R& r, const std::string& from, const ProcClass* proc,
            const std::string& where) {
    const std::string type = BrainClass::ResponseTypeName(r.RESPONSETYPE);
    const std::string name = Trim(r.THENAME);
    switch (r.RESPONSETYPE) {
      case rt::kModeChange:
        if (IsDynamic(name) || brain_.ModeNames.IndexOf(name) < 0)
          AddEdge(from, Unknown(type, name), type, where, true);
        else
          AddEdge(
              from,
              ModeNode(brain_.Modes.At(brain_.ModeNames.IndexOf(name))->Name),
              type, where);
        break;
      case rt::kStartProc:
      case rt::kCallProc: {
        const std::string to = ProcTarget(type, name);
        AddEdge(from, to, type, where, to.rfind("\"dynamic:", 0) == 0);
        break;
      }
      case rt::kGotoStep: {
        const StepClass* step = proc != nullptr && !IsDynamic(name)
                                    ? FindStep(*proc, name)
                                    : nullptr;
        if (step != nullptr)
          AddEdge(from, StepNode(*proc, step->Name), type, where);
        else
          AddEdge(from, Unknown(type, name), type, where, true);
        break;
      }
      case rt::kHaltProc:
      case rt::kProcReturn:
        // The conversation leaves the procedure: to its mode after a halt,
        // to the calling procedure after a return. Neither is known before
        // the bot runs, so both end at the procedure's exit.
        if (proc != nullptr) {
          ends_.insert(proc->Name);
          AddEdge(from, EndNode(*proc), type, where);
        }
        break;
      default:
        break;
    }
  }

  void Responses(const OwningList<ResponseClass>& list, const std::string& from,
                 const ProcClass* proc, const std::string& where) {
    for (const auto& r : list) {
      Move(*r, from, proc, where);
      for (const auto& t : r->Tasks) Move(*t, from, proc, where);
    }
  }

  const BrainClass& brain_;
  std::vector<Edge> edges_;  // In the order found.
  std::set<std::tuple<std::string, std::string, std::string, std::string, bool>>
      seen_;
  std::set<std::string> ends_;                  // Procedures that are left.
  std::map<std::string, std::string> unknown_;  // Node id -> label.
};

// Runs `dot -Tsvg` on `graph`; the SVG, or nothing when dot is missing
// or fails (said on standard error).
std::optional<std::string> RenderSvg(const std::string& graph) {
  if (std::system("command -v dot > /dev/null 2>&1") != 0) {
    std::fputs(
        "corvane graph: Graphviz's 'dot' is not installed; without --svg the "
        "graph is written as DOT\n",
        stderr);
    return std::nullopt;
  }
  const std::string in_path = TemporaryFileWith("corvane-graph-", graph);
  if (in_path.empty()) return std::nullopt;
  // The path goes to the shell between single quotes.
  std::string quoted = "'";
  for (char c : in_path)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  const std::string command = "dot -Tsvg " + quoted + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  std::string svg;
  if (pipe != nullptr) {
    char buf[1 << 14];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) svg.append(buf, n);
  }
  const int status = pipe != nullptr ? ::pclose(pipe) : -1;
  ::unlink(in_path.c_str());
  if (status != 0 || svg.empty()) {
    std::fputs("corvane graph: 'dot' failed\n", stderr);
    return std::nullopt;
  }
  return svg;
}

}  // namespace

int RunGraphCommand(int argc, char** argv) {
  std::string out_path;
  bool svg = false;
  CommandLine args(OneFileStyle("graph", kGraphUsage));
  args.Flag("--svg", [&] { svg = true; });
  args.Value("-o", false, UsageProblem("-o needs a file"),
             [&](const std::string& value) { out_path = value; });
  if (const std::optional<int> status = args.Parse(argc, argv)) return *status;
  if (args.words().empty())
    return args.Refuse(UsageProblem("no FILE.clf given"));
  const std::string path = args.words().front();
  const std::string problem = UnreadableFileProblem(path);
  if (!problem.empty()) {
    std::fprintf(stderr, "corvane graph: %s\n", problem.c_str());
    return 2;
  }
  if (out_path.size() >= 4 &&
      UpperAscii(out_path.substr(out_path.size() - 4)) == ".SVG")
    svg = true;

  BrainClass brain;
  LoadLanguageFile(brain, path, [](const LanguageProblem&) {});
  std::string text = GraphWriter(brain).Dot();
  if (svg) {
    std::optional<std::string> rendered = RenderSvg(text);
    if (!rendered) return 1;
    text = std::move(*rendered);
  }
  if (out_path.empty()) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return 0;
  }
  try {
    if (ReplaceFileAtomically(out_path, text)) return 0;
  } catch (const std::exception&) {
  }
  std::fprintf(stderr, "corvane graph: cannot write %s\n", out_path.c_str());
  return 1;
}

}  // namespace corvane
