// The subcommand "corvane index": builds the word index's data files from a
// corpus and answers phrases from them, for deployers who make and check the
// files that the response type "Ask Orvalis" reads.
#ifndef CORVANE_CLI_INDEX_COMMAND_H_
#define CORVANE_CLI_INDEX_COMMAND_H_

namespace corvane {

// Runs "corvane index ..." with argv[0] the word after "index":
//   build CORPUS.txt DIR   writes Words.str, WordIndex.idx, OVData.str into
//                          DIR (created when missing); warnings and errors go
//                          to stderr, each naming its corpus line.
//   ask DIR PHRASE...      prints the answer for the words of PHRASE (joined
//                          by blanks) from the files in DIR.
// Returns 0 on success; 1 when the corpus is refused, a file cannot be read
// or written, or ask finds no answer; 2 on a usage error. Never throws.
int RunIndexCommand(int argc, char** argv);

}  // namespace corvane

#endif  // CORVANE_CLI_INDEX_COMMAND_H_
