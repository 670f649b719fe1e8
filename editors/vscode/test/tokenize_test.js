// Tokenizes the demo knowledge base with the .clf grammar, as the editor
// would, and checks the scopes of chosen pieces of chosen lines. Exits 1
// with a list of the differences when one does not match.
'use strict';

const fs = require('fs');
const path = require('path');
const vsctm = require('vscode-textmate');
const oniguruma = require('vscode-oniguruma');

const root = path.resolve(__dirname, '..', '..', '..');
const grammarPath = path.resolve(__dirname, '..', 'syntaxes', 'clf.tmLanguage.json');
const demoPath = path.join(root, 'demo', 'wwwroot', 'CorvWebDemo.clf');

const wasm = fs.readFileSync(
    path.join(path.dirname(require.resolve('vscode-oniguruma')), 'onig.wasm'));
const onigLib = oniguruma.loadWASM(wasm.buffer).then(() => ({
  createOnigScanner: (sources) => new oniguruma.OnigScanner(sources),
  createOnigString: (text) => new oniguruma.OnigString(text),
}));

const registry = new vsctm.Registry({
  onigLib,
  loadGrammar: async (scopeName) => {
    if (scopeName !== 'source.clf') return null;
    const text = fs.readFileSync(grammarPath, 'utf8');
    return vsctm.parseRawGrammar(text, grammarPath);
  },
});

// Every line of `text` with its tokens, the rule stack carried on.
function tokenizeAll(grammar, text) {
  let stack = vsctm.INITIAL;
  return text.split(/\r\n|\r|\n/).map((line) => {
    const result = grammar.tokenizeLine(line, stack);
    stack = result.ruleStack;
    return {line, tokens: result.tokens};
  });
}

// The scopes of the token that holds the first occurrence of `piece` in
// `line` (the token where the piece begins).
function scopesAt(entry, piece) {
  const at = entry.line.indexOf(piece);
  if (at < 0) return null;
  const token = entry.tokens.find((t) => t.startIndex <= at && at < t.endIndex);
  return token ? token.scopes : null;
}

// [line that begins with (after trimming), piece, scope expected,
//  scope that must be absent (optional)]
const checks = [
  ['Corvane 8.0 Corvane-Language File', 'Corvane', 'comment.line.clf'],
  ['Corvane 8.0 Corvane-Language File', '8.0', 'comment.line.clf', 'constant.numeric.clf'],
  ['State {Booked}', 'State', 'keyword.control.clf'],
  ['State {Booked}', 'Booked', 'string.quoted.other.field.clf'],
  ['// The front desk', 'front', 'comment.line.clf'],
  ['Name-Object {FrontDesk}', 'Name-Object', 'keyword.control.clf'],
  ['For-Mode', 'For-Mode', 'keyword.control.clf'],
  ['Fragment Initialize,0,0', 'Initialize', 'support.type.fragment-kind.clf'],
  ['Fragment Data-Match,0,20', 'Data-Match', 'support.type.fragment-kind.clf'],
  ['Fragment Data-Match,0,20', '20', 'constant.numeric.clf'],
  ['Fragment Data-Match,0,20', 'UserName', 'string.quoted.other.field.clf'],
  ['Fragment In Collection,40,0', 'In Collection', 'support.type.fragment-kind.clf'],
  ['Fragment EXTRACT,80,0', '^Extr', 'entity.name.function.macro.clf'],
  ['Response {Good ^Fact{DayPart}, and welcome', '^Fact', 'entity.name.function.macro.clf'],
  ['Response {Good ^Fact{DayPart}, and welcome', 'Restaurant', 'meta.macro.clf'],
  ['Response {Good ^Fact{DayPart}, and welcome', 'Good', 'string.quoted.other.field.clf'],
  ['Response {Good ^Fact{DayPart}, and welcome', 'Just Text', 'support.type.response-type.clf'],
  ['Task {},Submit This,{clock', 'Submit This', 'support.type.response-type.clf'],
  ['Task {},Submit This,{clock', '^SysFact', 'entity.name.function.macro.clf'],
  ['Response {Let\'s talk food!', 'Mode Change', 'support.type.response-type.clf'],
  ['Response {Starters are 8', '^Mul', 'entity.name.function.macro.clf'],
  ['Response {Starters are 8', 'SetMenu}}', 'meta.macro.clf'],
  ['Task {learnt},Create AutoPattern', 'Create AutoPattern', 'support.type.response-type.clf'],
  ['Task {learnt},Create AutoPattern', 'Task', 'keyword.control.clf'],
  ['Threshold 4,4', '4', 'constant.numeric.clf'],
  ['Procedure {Booking}', 'Procedure', 'keyword.control.clf'],
  ['Step {AskDay}', 'Step', 'keyword.control.clf'],
  ['For-State {Booked}', 'For-State', 'keyword.control.clf'],
  ['Fact {Restaurant} = {the Corvane Bistro}', '=', 'keyword.operator.assignment.clf'],
  ['Start-Collection {Dishes}', 'Dishes', 'string.quoted.other.field.clf'],
  ['risotto', 'risotto', 'string.unquoted.member.clf'],
  ['End-Collection', 'End-Collection', 'keyword.control.clf'],
];

// Lines that are not in the demo: mistakes the grammar shows.
const extraText = [
  'Fragment InCollection,10,0, {}, {Dishes}, {}',
  'Response {Hi.},Just Txt,{},{}',
  'Modest comment',
  'Start-Collection {Words}',
  'Mode {NotAKeywordHere}',
  'End-Collection',
  'Response {Hi ^Fact{Name, welcome,Just Text,{},{}',
  'Mode {AfterUnclosed}',
  'Fact {a{b} = {c}',
  'Step {Next},{Prompt}',
].join('\n');
const extraChecks = [
  ['Fragment InCollection', 'InCollection', 'invalid.illegal.unknown-kind.clf'],
  ['Response {Hi.},Just Txt', 'Just Txt', 'invalid.illegal.unknown-type.clf'],
  ['Modest comment', 'Mode', 'keyword.control.clf'],  // The reader's view.
  ['Mode {NotAKeywordHere}', 'Mode', 'string.unquoted.member.clf', 'keyword.control.clf'],
  // An unclosed brace ends with its line, as the reader ends the field.
  ['Response {Hi ^Fact{Name', 'welcome', 'string.quoted.other.field.clf'],
  ['Mode {AfterUnclosed}', 'Mode', 'keyword.control.clf', 'string.quoted.other.field.clf'],
  ['Mode {AfterUnclosed}', 'AfterUnclosed', 'string.quoted.other.field.clf'],
  ['Step {Next}', 'Step', 'keyword.control.clf', 'string.quoted.other.field.clf'],
];

function run(entries, list, failures) {
  for (const [start, piece, scope, absent] of list) {
    const entry = entries.find((e) => e.line.trim().startsWith(start));
    if (!entry) {
      failures.push(`no line begins with ${JSON.stringify(start)}`);
      continue;
    }
    const scopes = scopesAt(entry, piece);
    if (!scopes) {
      failures.push(`${JSON.stringify(piece)} not in ${JSON.stringify(entry.line)}`);
    } else if (!scopes.includes(scope) || (absent && scopes.includes(absent))) {
      failures.push(`${JSON.stringify(piece)} in ${JSON.stringify(entry.line)}: ` +
                    `scopes ${scopes.join(' ')}; wanted ${scope}` +
                    (absent ? ` without ${absent}` : ''));
    }
  }
}

registry.loadGrammar('source.clf').then((grammar) => {
  const failures = [];
  const demo = tokenizeAll(grammar, fs.readFileSync(demoPath, 'latin1'));
  run(demo, checks, failures);
  run(tokenizeAll(grammar, extraText), extraChecks, failures);
  // Every line of the demo gets some scope beyond the file's own.
  demo.forEach((entry, i) => {
    if (entry.line.trim() === '') return;
    const bare = entry.tokens.some((t) => t.scopes.length === 1 &&
        entry.line.slice(t.startIndex, t.endIndex).trim() !== '');
    if (bare) failures.push(`line ${i + 1} has text without a scope: ${entry.line}`);
  });
  if (failures.length > 0) {
    console.error('grammar test: ' + failures.length + ' failures');
    for (const f of failures) console.error('  ' + f);
    process.exit(1);
  }
  console.log(`grammar test: ${checks.length + extraChecks.length} checks passed ` +
              `on ${demo.length} demo lines`);
}).catch((error) => {
  console.error(error);
  process.exit(1);
});
