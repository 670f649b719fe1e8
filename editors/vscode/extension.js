// Starts `corvane lsp` for .clf files: diagnostics as the author types, go
// to definition, find references, hover, completion and the outline. The
// command is `corvane` on the PATH unless the setting corvane.path names
// another.
'use strict';

const vscode = require('vscode');
const {LanguageClient, TransportKind} = require('vscode-languageclient/node');

let client;

function activate(context) {
  const command = vscode.workspace.getConfiguration('corvane').get('path') || 'corvane';
  const server = {command, args: ['lsp'], transport: TransportKind.stdio};
  client = new LanguageClient(
      'corvane', 'Corvane language server', {run: server, debug: server},
      {documentSelector: [{scheme: 'file', language: 'clf'}]});
  context.subscriptions.push({dispose: () => client && client.stop()});
  return client.start();
}

function deactivate() {
  return client ? client.stop() : undefined;
}

module.exports = {activate, deactivate};
