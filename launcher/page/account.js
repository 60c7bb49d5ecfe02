// The account screen: create an account or sign in, opened by the first-run
// prompt (onboarding) or from the settings page.

import { app, send, $, toast, prompts, showScreen } from './core.js';

const NAME_RULE = /^[A-Za-z0-9_-]{3,20}$/;
let submittedName = '';
let focusTimer = 0;

const nameField = () => $('#acct-name');
const passField = () => $('#acct-pass');
const pass2Field = () => $('#acct-pass2');

export function initAccount() {
  const form = $('#account .acct-form');
  form.addEventListener('submit', (e) => { e.preventDefault(); submit(); });
  $('#acct-back').addEventListener('click', () => closeAccount(false));
  for (const b of document.querySelectorAll('#account .acct-mode')) {
    b.addEventListener('click', () => setMode(b.dataset.mode));
  }
  for (const input of form.querySelectorAll('input')) {
    input.addEventListener('focus', () => { app.editing = input; });
    input.addEventListener('blur', () => { if (app.editing === input) app.editing = null; });
    input.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') {
        e.preventDefault();
        e.stopPropagation();
        submit();
      } else if (e.key === 'Escape') {
        e.preventDefault();
        e.stopPropagation();
        input.blur();
        closeAccount(false);
      }
    });
  }
}

export function openAccount(mode, onboarding) {
  app.acctMode = mode;
  app.acctOnboarding = !!onboarding;
  setError('');
  showScreen('account');
  renderAccount();
  clearTimeout(focusTimer);
  focusTimer = setTimeout(() => { if (app.screen === 'account') nameField().focus(); }, 50);
}

function setMode(mode) {
  app.acctMode = mode;
  setError('');
  renderAccount();
}

function setError(text) {
  $('#account .acct-error').textContent = text;
}

export function renderAccount() {
  const S = app.S || {};
  const create = app.acctMode === 'create';
  const busy = !!(S.account && S.account.busy);
  const root = $('#account');
  $('.acct-title', root).textContent = create ? 'CREATE ACCOUNT' : 'SIGN IN';
  $('.acct-sub', root).textContent = create
    ? 'Pick your pilot name: other players see it over your ship. ' + (app.acctOnboarding ? 'The game is downloading in the meantime.' : '')
    : 'Welcome back, pilot.';
  for (const b of root.querySelectorAll('.acct-mode')) {
    const on = b.dataset.mode === app.acctMode;
    b.classList.toggle('on', on);
    b.setAttribute('aria-pressed', on ? 'true' : 'false');
  }
  $('#acct-pass2-field').hidden = !create;
  pass2Field().disabled = !create;
  passField().setAttribute('autocomplete', create ? 'new-password' : 'current-password');
  const main = $('#acct-submit');
  main.textContent = busy ? 'One moment…' : create ? 'Create account' : 'Sign in';
  main.classList.toggle('busy', busy);
  main.setAttribute('aria-disabled', busy ? 'true' : 'false');
  $('#acct-back').textContent = app.acctOnboarding ? 'Play offline for now' : 'Back';
  prompts($('#acct-prompts'), [
    { keys: ['Q', 'E'], label: create ? 'I have an account' : 'New account', run: switchMode },
    { keys: ['Enter'], label: create ? 'Create' : 'Sign in', run: submit },
    { keys: ['Esc'], label: app.acctOnboarding ? 'Later' : 'Back', run: () => closeAccount(false) },
  ]);
}

function switchMode() {
  setMode(app.acctMode === 'create' ? 'signin' : 'create');
}

export function submit() {
  const S = app.S || {};
  if (S.account && S.account.busy) return;
  const name = nameField().value.trim();
  const pass = passField().value;
  let error = '';
  if (!NAME_RULE.test(name)) error = 'Pilot names are 3 to 20 letters, digits, - or _.';
  else if (pass.length < 8) error = 'Passwords are at least 8 characters.';
  else if (app.acctMode === 'create' && pass !== pass2Field().value) error = "The two passwords don't match.";
  setError(error);
  if (error) return;
  submittedName = name;
  send(app.acctMode === 'create' ? 'createAccount' : 'signIn', { username: name, password: pass });
}

export function onAccountResult(msg) {
  if (!msg.ok) {
    if (app.screen === 'account') setError(msg.error || "That didn't work.");
    return;
  }
  passField().value = '';
  pass2Field().value = '';
  // The state naming the new pilot usually arrives just after this message.
  const acct = (app.S && app.S.account) || {};
  const name = acct.username || submittedName || 'pilot';
  toast((msg.created ? 'Welcome aboard, ' : 'Signed in as ') + name);
  if (app.screen === 'account') closeAccount(true);
}

export function closeAccount(success) {
  if (app.screen !== 'account') return;
  if (app.editing) app.editing.blur();
  if (app.acctOnboarding && !success) send('skipAccount');
  app.acctOnboarding = false;
  showScreen('home');
  const el = $('#menu').children[Math.max(0, app.menuFocus)];
  if (el) el.focus({ preventScroll: true });
}

export function accountKey(k, e) {
  switch (k) {
    case 'enter':
      if (e.target instanceof HTMLButtonElement) return;
      submit();
      break;
    case 'escape':
      closeAccount(false);
      break;
    case 'q': case 'e':
      switchMode();
      break;
    default:
      return;
  }
  e.preventDefault();
}
