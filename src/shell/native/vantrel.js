// The native interface of a Vantrel application, for its pages:
//   <script src="/_vantrel/vantrel.js"></script>
//   vantrel.notify({title: 'Saved'}).then(reply => ...);
//   vantrel.on('command', detail => ...);
// Every call returns a promise of the reply; a refused call rejects it with an
// Error whose `status` is the HTTP status and `reply` the reply object.
(function () {
  'use strict';
  if (window.vantrel) return;

  function call(name, body) {
    var init = {method: body === undefined ? 'GET' : 'POST', credentials: 'same-origin', cache: 'no-store'};
    if (body !== undefined) {
      init.headers = {'Content-Type': 'application/json'};
      init.body = JSON.stringify(body);
    }
    return fetch('/_vantrel/' + name, init).then(function (response) {
      return response.json().catch(function () {
        return {ok: false, error: 'the reply is not JSON (HTTP ' + response.status + ')'};
      }).then(function (reply) {
        if (response.ok && reply.ok) return reply;
        var error = new Error(reply.error || 'HTTP ' + response.status);
        error.status = response.status;
        error.reply = reply;
        throw error;
      });
    });
  }

  function on(type, listener) {
    function handler(event) {
      if (type === '*' || (event.detail && event.detail.type === type)) listener(event.detail, event);
    }
    window.addEventListener('vantrel', handler);
    return function off() { window.removeEventListener('vantrel', handler); };
  }

  window.vantrel = {
    call: call,
    on: on,
    info: function () { return call('info'); },
    arguments: function () { return call('arguments'); },
    notify: function (options) { return call('notify', options); },
    clipboardText: function () { return call('clipboard'); },
    setClipboardText: function (text) { return call('clipboard', {text: String(text)}); },
    windowState: function () { return call('window'); },
    setWindow: function (options) { return call('window', options); },
    dialog: function (options) { return call('dialog', options); },
    open: function (target) { return call('open', target); },
    reveal: function (path) { return call('reveal', {path: path}); },
    trash: function (path) { return call('trash', {path: path}); },
    tray: function (options) { return call('tray', options); },
    autostart: function () { return call('autostart'); },
    setAutostart: function (enabled) { return call('autostart', {enabled: !!enabled}); }
  };
})();
