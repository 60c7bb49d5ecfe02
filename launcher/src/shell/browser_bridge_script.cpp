#include "shell/browser_bridge_script.h"

namespace launcher {
namespace {

constexpr std::string_view script = R"JS((() => {
  if (window.chrome && window.chrome.webview) return;
  const target = new EventTarget();
  const storageKey = 'vantor.session';
  const waiting = [];
  let session = null;
  let open = false;
  let sending = false;
  let retryMs = 1000;

  // The token leaves the address bar before any other script runs; the rest
  // of the query (the page's own options) stays as it was.
  const parts = location.search.slice(1).split('&').filter((p) => p !== '');
  const tokenPart = parts.find((p) => p === 'token' || p.startsWith('token='));
  const token = tokenPart === undefined ? null : tokenPart.slice(6);  // hex: nothing to decode
  if (tokenPart !== undefined) {
    const rest = parts.filter((p) => p !== tokenPart).join('&');
    history.replaceState(history.state, '', location.pathname + (rest ? '?' + rest : '') + location.hash);
  }

  const stored = () => { try { return sessionStorage.getItem(storageKey); } catch (e) { return null; } };
  const store = (value) => { try { sessionStorage.setItem(storageKey, value); } catch (e) { /* memory only */ } };
  const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

  function notice(text) {
    const box = document.createElement('div');
    box.setAttribute('role', 'alert');
    box.textContent = text;
    Object.assign(box.style, {
      position: 'fixed', left: '0', right: '0', top: '0', zIndex: '2147483647', padding: '12px 16px',
      background: '#5a1010', color: '#fff', font: "14px/1.4 'Manrope', sans-serif", textAlign: 'center',
    });
    (document.body || document.documentElement).append(box);
  }
  const noSession = 'This page is not connected to the launcher. Open the address the launcher printed; ' +
    'it works once, and starting vantor-launcher again prints a new one.';

  async function obtainSession() {
    if (token !== null) {
      try {
        const response = await fetch('/bridge/session', {
          method: 'POST', headers: { 'X-Vantor-Token': token }, cache: 'no-store', credentials: 'omit',
        });
        if (response.ok) {
          const answer = await response.json();
          if (typeof answer.session === 'string') {
            store(answer.session);
            return answer.session;
          }
        }
      } catch (e) { /* spent or unreachable: a secret kept by this tab may still do */ }
    }
    return stored();
  }

  // Server-Sent Events from a byte stream: "data:" lines joined, comments skipped.
  async function readEvents(reader) {
    const decoder = new TextDecoder();
    let buffer = '';
    for (;;) {
      const { value, done } = await reader.read();
      if (done) return;
      buffer += decoder.decode(value, { stream: true });
      let end;
      while ((end = buffer.indexOf('\n\n')) >= 0) {
        const lines = buffer.slice(0, end).split('\n');
        buffer = buffer.slice(end + 2);
        const data = [];
        for (const line of lines) {
          if (line.startsWith('data:')) data.push(line.slice(line.startsWith('data: ') ? 6 : 5));
          else if (line.startsWith('retry:')) retryMs = Number(line.slice(6)) || retryMs;
        }
        if (!data.length) continue;
        let message;
        try { message = JSON.parse(data.join('\n')); } catch (e) { continue; }
        target.dispatchEvent(new MessageEvent('message', { data: message }));
      }
    }
  }

  async function listen() {
    for (;;) {
      let response;
      try {
        response = await fetch('/bridge/events', {
          headers: { 'X-Vantor-Session': session }, cache: 'no-store', credentials: 'omit',
        });
      } catch (e) {
        await pause(retryMs);
        continue;
      }
      // Refused: the session is not this launcher's (one restarted on this port).
      if (response.status === 403) {
        notice(noSession);
        return;
      }
      if (!response.ok || !response.body) {
        await pause(retryMs);
        continue;
      }
      open = true;
      pump();
      try { await readEvents(response.body.getReader()); } catch (e) { /* cut: open it again */ }
      open = false;
      await pause(retryMs);
    }
  }

  async function pump() {
    if (sending) return;
    sending = true;
    while (open && waiting.length) {
      let busy = false;
      try {
        const response = await fetch('/bridge/cmd', {
          method: 'POST', body: waiting[0], cache: 'no-store', credentials: 'omit',
          headers: { 'Content-Type': 'text/plain;charset=utf-8', 'X-Vantor-Session': session },
        });
        busy = response.status === 503;  // not taken now: too many at once
      } catch (e) {
        busy = true;  // not sent
      }
      if (busy) {
        setTimeout(pump, 500);  // the same command goes again
        break;
      }
      waiting.shift();  // delivered, or refused for good
    }
    sending = false;
  }

  // The stream opens once the page's own scripts have run and listen, so the
  // state it starts with is not dispatched to nobody; a page the browser
  // renders ahead of time waits until it is shown.
  async function connect() {
    session = await obtainSession();
    if (!session) {
      notice(noSession);
      return;
    }
    listen();
  }
  const whenShown = () => {
    if (document.prerendering) document.addEventListener('prerenderingchange', connect, { once: true });
    else connect();
  };
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', whenShown, { once: true });
  else whenShown();

  window.chrome = window.chrome || {};
  window.chrome.webview = Object.freeze({
    postMessage(message) {
      if (typeof message !== 'string') return;  // as in the window: text only
      waiting.push(message);
      pump();
    },
    addEventListener: target.addEventListener.bind(target),
    removeEventListener: target.removeEventListener.bind(target),
  });
})();
)JS";

}  // namespace

std::string_view browserBridgeScript() { return script; }

}  // namespace launcher
