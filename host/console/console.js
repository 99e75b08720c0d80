// The store console. State comes from two sources: a full load over HTTP (at start and once
// after every reconnection of the event stream) and the live events in between. Text from the
// store and from pushes is always set with textContent, never parsed as HTML.
'use strict';

const $ = (id) => document.getElementById(id);
const CONFIG = '/qor-platform-config/v1/';
const SWITCHES = [
  ['UseVMS', CONFIG + 'namespaces/MBXStore/UseVMS'],
  ['DisableCapVMS', CONFIG + 'namespaces/MBXStore/DisableCapVMS'],
  ['Gifting enabled', CONFIG + 'namespaces/MBXStore/PlayerGiftingNotificationsEnabled'],
  ['Configuration complete', CONFIG + 'initial-configuration-complete'],
];
const SESSION_URI = '/qor-login/v1/session';
const LOCALE_URI = '/vaxoclient/region-locale';
const OWNED_URI = '/qor-inventory/v1/owned';
const DIALOG_CLASS = 'com.vaxoworks.platform.messaging.persistence.SimpleDialogMessage';
const MAX_EVENTS = 200;

const state = {
  catalog: [], owned: new Set(), locale: 'en_US', regionLocale: null, session: null,
  results: new Map(),  // item id -> {text, ok}: the latest purchase answer, kept across redraws
};

// ---- HTTP ------------------------------------------------------------------------------

// The answer's JSON (null for 204), or an Error carrying the host's message.
async function call(method, path, body) {
  const init = { method, headers: {} };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const response = await fetch(path, init);
  const text = await response.text();
  let value = null;
  try { value = text ? JSON.parse(text) : null; } catch (e) { value = text; }
  if (!response.ok) {
    const error = new Error(value && value.message ? value.message : response.status + ' ' + text);
    error.status = response.status;
    throw error;
  }
  return value;
}

// Every resource of the simulated platform, {uri: value}: one request, and no 404 for those
// not set.
const resources = () => call('GET', '/dev/v1/resources');
const putResource = (uri, value) =>
  call('PUT', '/dev/v1/resources?uri=' + encodeURIComponent(uri), value);
const deleteResource = (uri) =>
  call('DELETE', '/dev/v1/resources?uri=' + encodeURIComponent(uri));

function el(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined && text !== null) node.textContent = String(text);
  if (className) node.className = className;
  return node;
}

// ---- Wallet, owned items, notifications --------------------------------------------------

function showWallet(wallet) {
  $('wallet-ip').textContent = wallet && wallet.ip !== undefined ? wallet.ip : '–';
  $('wallet-vp').textContent = wallet && wallet.vp !== undefined ? wallet.vp : '–';
}

async function loadWallet() {
  showWallet(await call('GET', '/qor-store/v1/wallet').catch(() => null));
}

async function loadOwned(all) {
  const owned = (all || await resources())[OWNED_URI] || [];
  state.owned = new Set(owned.map((item) => item.inventoryType + ':' + item.itemId));
  renderCatalog();
}

async function loadOrders() {
  const orders = await call('GET', '/qor-store/v1/order-notifications');
  const list = $('orders');
  list.replaceChildren(...orders.map((order) => {
    const item = el('li');
    item.dataset.testid = 'order-notification';
    item.append(el('span', `#${order.id} ${order.eventType} ${order.status}`));
    const remove = el('button', 'Delete');
    remove.title = order.eventTypeId;
    remove.addEventListener('click', () =>
      call('DELETE', '/qor-store/v1/order-notifications/' + order.id)
        .then(loadOrders, (error) => setStatus(error.message, true)));
    item.append(remove);
    return item;
  }));
  if (!orders.length) list.append(el('li', 'None'));
}

async function loadToasts() {
  const toasts = await call('GET', '/dev/v1/notifications');
  $('toasts').replaceChildren(...toasts.reverse().map((toast) => {
    const item = el('li', null, 'toast');
    item.dataset.testid = 'toast';
    const data = toast.data || {};
    const text = el('span');
    text.append(el('b', `${toast.type} (${toast.state})`));
    text.append(el('span', [data.sender && `from ${data.sender}`, data.receiver && `to ${data.receiver}`,
      data.inventoryType, data.itemId, data.message].filter(Boolean).join(' · ')));
    item.append(text);
    return item;
  }));
  if (!toasts.length) $('toasts').append(el('li', 'None'));
}

// ---- Catalog ----------------------------------------------------------------------------

const itemName = (item) => {
  const names = item.localizations || {};
  const local = names[state.locale] || names.en_US || Object.values(names)[0];
  return local && local.name ? local.name : `${item.inventoryType} ${item.itemId}`;
};
const isOwned = (item) => state.owned.has(item.inventoryType + ':' + item.itemId);
const onSale = (item) => {
  const now = new Date().toISOString();
  return item.sale && (!item.sale.startDate || item.sale.startDate <= now) &&
    (!item.sale.endDate || now < item.sale.endDate);
};
const priceText = (prices) => (prices || []).map((p) => `${p.cost} ${p.currency}`).join(' / ');
// The VP an item costs now (its sale price when on sale); null when it has no VP price.
const vpPrice = (item) => {
  const prices = [...(item.prices || []), ...(onSale(item) ? item.sale.prices || [] : [])]
    .filter((p) => p.currency === 'VP').map((p) => p.cost);
  return prices.length ? Math.min(...prices) : null;
};

async function loadCatalog() {
  state.catalog = await call('GET', '/qor-store/v1/catalog');
  const types = [...new Set(state.catalog.map((item) => item.inventoryType))].sort();
  const select = $('type-filter');
  const chosen = select.value;
  select.replaceChildren(new Option('Every type', ''), ...types.map((t) => new Option(t, t)));
  select.value = types.includes(chosen) ? chosen : '';
  fillLocales();
  renderCatalog();
}

function renderCatalog() {
  const query = $('search').value.trim().toLowerCase();
  const type = $('type-filter').value;
  const owned = $('owned-filter').value;
  const sort = $('sort').value;
  const shown = state.catalog.filter((item) =>
    (!query || itemName(item).toLowerCase().includes(query)) &&
    (!type || item.inventoryType === type) &&
    (!owned || (owned === 'owned') === isOwned(item)));
  const byName = (a, b) => itemName(a).localeCompare(itemName(b));
  const byPrice = (a, b) => {  // items without a VP price last
    const [x, y] = [vpPrice(a), vpPrice(b)];
    if (x === null || y === null) return (x === null) - (y === null) || byName(a, b);
    return (sort === 'price-up' ? x - y : y - x) || byName(a, b);
  };
  shown.sort(sort === 'name' ? byName : byPrice);
  $('catalog-count').textContent = `${shown.length} of ${state.catalog.length}`;
  $('catalog').replaceChildren(...shown.map(renderItem));
}

function renderItem(item) {
  const card = $('item-template').content.firstElementChild.cloneNode(true);
  card.dataset.itemId = item.itemId;
  card.querySelector('.name').textContent = itemName(item);
  card.querySelector('.type').textContent = item.inventoryType;
  if (isOwned(item)) {
    card.classList.add('is-owned');
    card.querySelector('.owned').textContent = 'Owned';
  }
  card.querySelector('.prices').textContent = priceText(item.prices);
  if (onSale(item)) {
    card.querySelector('.sale').textContent = `Sale ${priceText(item.sale.prices)} until ` +
      item.sale.endDate.slice(0, 10);
  }
  if (item.inventoryType === 'CHAMPION_SKIN') {
    const sale = onSale(item) ? item.sale.prices || [] : [];
    for (const price of [...(item.prices || []), ...sale]) {
      const button = el('button', `Buy ${price.cost} ${price.currency}` +
        (sale.includes(price) ? ' (sale)' : ''));
      button.dataset.testid = 'buy';
      button.addEventListener('click', (event) => {
        event.stopPropagation();
        buy(item, price, card);
      });
      card.querySelector('.buy-row').append(button);
    }
  }
  const result = state.results.get(item.itemId);
  if (result) showResult(card, result);
  card.addEventListener('click', () => showDetail(item));
  card.addEventListener('keydown', (event) => { if (event.key === 'Enter') showDetail(item); });
  return card;
}

function showResult(card, result) {
  const node = card.querySelector('.result');
  node.textContent = result.text;
  node.className = 'result ' + (result.ok ? 'ok' : 'error');
}

async function buy(item, price, card) {
  let result;
  try {
    await call('POST', `/qor-store/v1/skins/${item.itemId}/purchase`,
      { currency: price.currency, cost: price.cost });
    result = { ok: true, text: `Bought for ${price.cost} ${price.currency}.` };
  } catch (error) {
    result = { ok: false, text: error.message };
  }
  state.results.set(item.itemId, result);
  showResult(card, result);
}

function showDetail(item) {
  $('detail-title').textContent = `${itemName(item)} (${item.inventoryType} ${item.itemId})`;
  const body = $('detail-body');
  const table = (head, rows) => {
    const node = el('table');
    const header = el('tr');
    head.forEach((h) => header.append(el('th', h)));
    node.append(header);
    for (const row of rows) {
      const line = el('tr');
      row.forEach((cell) => line.append(el('td', cell ?? '–')));
      node.append(line);
    }
    return node;
  };
  body.replaceChildren(
    el('h3', 'Localisations'),
    table(['Language', 'Name', 'Description'], Object.values(item.localizations || {})
      .map((l) => [l.language, l.name, l.description])),
    el('h3', 'Prices'),
    table(['Currency', 'Cost', 'Sale cost', 'Sale dates'], (item.prices || []).map((p) => {
      const sale = item.sale && (item.sale.prices || []).find((s) => s.currency === p.currency);
      return [p.currency, p.cost, sale && sale.cost,
        sale && `${item.sale.startDate} – ${item.sale.endDate}`];
    })),
    el('h3', 'Requirements'),
    item.itemRequirements && item.itemRequirements.length
      ? table(['Type', 'Item'], item.itemRequirements.map((r) => [r.inventoryType, r.itemId]))
      : el('p', 'None'),
    el('p', `Active: ${item.active} · released ${item.releaseDate || '–'} · tags: ` +
      (item.tags || []).join(', ') + (isOwned(item) ? ' · owned' : '')));
  $('detail').showModal();
}

// ---- Platform ---------------------------------------------------------------------------

async function loadPlatform(all) {
  all = all || await resources();
  const values = SWITCHES.map(([, uri]) => all[uri]);
  $('switches').replaceChildren(...SWITCHES.map(([label, uri], i) => {
    const row = el('label', null, 'switch');
    row.append(el('span', label));
    const box = el('input');
    box.type = 'checkbox';
    box.checked = values[i] === true;
    box.dataset.uri = uri;
    box.addEventListener('change', () => putResource(uri, box.checked)
      .then(refreshAfterPush, (error) => setStatus(error.message, true)));
    row.append(box);
    return row;
  }));
  const live = all[SESSION_URI];
  state.session = live || state.session;  // kept for logging in again
  $('session-state').textContent = live ? live.state || 'present' : 'logged out';
  state.regionLocale = all[LOCALE_URI] || null;
  state.locale = (state.regionLocale && state.regionLocale.locale) || 'en_US';
  fillLocales();
  $('region').value = (state.regionLocale && state.regionLocale.region) || '';
}

// The locales the catalog has names in, and the session's.
function fillLocales() {
  const locales = new Set([state.locale]);
  for (const item of state.catalog.slice(0, 1)) {
    Object.keys(item.localizations || {}).forEach((l) => locales.add(l));
  }
  $('locale').replaceChildren(...[...locales].sort().map((l) => new Option(l, l)));
  $('locale').value = state.locale;
}

async function refreshAfterPush() {
  const all = await resources();
  await Promise.all([loadPlatform(all), loadOwned(all), loadToasts(), loadOrders(), loadWallet()]);
}

function wireForms() {
  $('search').addEventListener('input', renderCatalog);
  for (const id of ['type-filter', 'owned-filter', 'sort']) {
    $(id).addEventListener('change', renderCatalog);
  }
  $('detail-close').addEventListener('click', () => $('detail').close());
  $('logout').addEventListener('click', () =>
    deleteResource(SESSION_URI).then(refreshAfterPush, (e) => setStatus(e.message, true)));
  $('login').addEventListener('click', () => {
    if (!state.session) return setStatus('No session to restore', true);
    putResource(SESSION_URI, state.session)
      .then(refreshAfterPush, (e) => setStatus(e.message, true));
  });
  $('locale-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const value = Object.assign({}, state.regionLocale,
      { locale: $('locale').value, region: $('region').value.trim() });
    putResource(LOCALE_URI, value).then(refreshAfterPush, (e) => setStatus(e.message, true));
  });
  $('push-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const session = state.session || {};
    const body = {
      accountId: session.accountId || 0,
      msgId: 'console-' + Date.now(),
      type: $('push-type').value,
      params: $('push-params').value.split('\n').map((line) => line.trim()),
    };
    call('POST', '/dev/v1/lcds-events', { typeName: DIALOG_CLASS, body })
      .then(() => { $('push-result').textContent = 'Pushed.'; return refreshAfterPush(); },
        (error) => { $('push-result').textContent = error.message; });
  });
  $('clear-events').addEventListener('click', () => $('events').replaceChildren());
}

// ---- Event stream -----------------------------------------------------------------------

function setStatus(text, down) {
  $('status').textContent = text;
  $('status').classList.toggle('down', Boolean(down));
}

function logEvent(event) {
  const item = el('li');
  item.dataset.testid = 'event';
  const payload = event.payload || {};
  item.append(el('time', new Date().toLocaleTimeString()), el('b', event.name),
    el('span', payload.uri ? ` ${payload.eventType || ''} ${payload.uri}` : ''));
  const details = el('details');
  details.append(el('summary', 'payload'), el('pre', JSON.stringify(event.payload, null, 2)));
  item.append(details);
  const list = $('events');
  list.prepend(item);
  while (list.children.length > MAX_EVENTS) list.lastElementChild.remove();
}

// Applies one event: the wallet carries its value; orders and anything else make the panels
// they may change load again.
function applyEvent(event) {
  const payload = event.payload || {};
  const uri = payload.uri || '';
  if (uri === '/qor-store/v1/wallet') {
    if (payload.eventType !== 'Delete') showWallet(payload.data);
    loadOwned().catch(() => {});
  } else if (uri.startsWith('/qor-store/v1/order-notifications')) {
    loadOrders().catch(() => {});
    loadOwned().catch(() => {});
  }
  loadToasts().catch(() => {});
}

async function loadAll() {
  const all = await resources();
  await loadPlatform(all);  // the locale first: the catalog shows its names
  await loadCatalog();
  await Promise.all([loadWallet(), loadOwned(all), loadOrders(), loadToasts()]);
}

let stream = null;
let lost = false;

function connect() {
  stream = new EventSource('/dev/v1/events');
  stream.onopen = () => {
    setStatus('Live');
    if (lost) {  // events may have been missed while the stream was down: load state once
      lost = false;
      loadAll().catch((error) => setStatus(error.message, true));
    }
  };
  stream.onmessage = (message) => {
    let event;
    try { event = JSON.parse(message.data); } catch (e) { return; }
    logEvent(event);
    applyEvent(event);
  };
  stream.onerror = () => {
    lost = true;
    // The browser retries a dropped stream itself; one refused outright is closed for good.
    if (stream.readyState === EventSource.CLOSED) setTimeout(connect, 3000);
    fetch('/dev/v1/openapi.json', { method: 'HEAD' }).then(
      () => setStatus('Event stream lost; reconnecting…', true),
      () => setStatus(`qor-host has stopped (no answer at ${location.origin}); ` +
        'waiting for it to come back…', true));
  };
}

wireForms();
loadAll().then(connect, (error) => {
  setStatus('Cannot load the store: ' + error.message, true);
  lost = true;
  connect();
});
