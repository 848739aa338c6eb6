// The fleet view of lumo-collect: a device table paged, sorted and filtered by the
// server, a device page, and a measurement's plot (uPlot). Every text from the server is
// put into the page as text (textContent), never as markup.
"use strict";

const PAGE_ROWS = 50;
const MEASUREMENT_ROWS = 20;
const REFRESH_MS = 5000;

const state = { sort: "din", order: "asc", offset: 0, filter: "", overdueOnly: false,
                din: null, mOffset: 0, plot: null };

const $ = (id) => document.getElementById(id);

async function getJson(path) {
  const response = await fetch(path, { headers: { Accept: "application/json" }, cache: "no-store" });
  const body = await response.json().catch(() => ({}));
  if (!response.ok)
    throw new Error(body.error || ("HTTP " + response.status));
  return body;
}

function showError(error) {
  const p = $("error");
  p.textContent = error ? String(error.message || error) : "";
  p.hidden = !error;
}

// A table cell holding text, optionally with a class.
function cell(text, className) {
  const td = document.createElement("td");
  td.textContent = text === null || text === undefined ? "\u2014" : String(text);
  if (className)
    td.className = className;
  return td;
}

function linkCell(text, href) {
  const td = document.createElement("td");
  const a = document.createElement("a");
  a.href = href;
  a.textContent = text;
  td.appendChild(a);
  return td;
}

function badge(text, kind) {
  const span = document.createElement("span");
  span.className = "badge " + kind;
  span.textContent = text;
  return span;
}

// A stored time to the second, the full text in the cell's tooltip.
function timeCell(text) {
  const td = cell(text ? String(text).replace("T", " ").slice(0, 19) : null);
  if (text)
    td.title = text;
  return td;
}

function offsetText(seconds) {
  if (seconds === null || seconds === undefined)
    return null;
  return (seconds > 0 ? "+" : "") + seconds + " s";
}

async function refreshCounts() {
  const f = await getJson("api/fleet");
  const counts = $("counts");
  counts.replaceChildren();
  const add = (id, text, className) => {
    const span = document.createElement("span");
    span.id = id;
    span.textContent = text;
    if (className)
      span.className = className;
    counts.appendChild(span);
  };
  add("count-devices", f.devices + " devices");
  add("count-measurements", f.measurements + " measurements");
  if (f.overdue !== null)
    add("count-overdue", f.overdue + " overdue (no call for " + f.expect_every_s + " s)",
        f.overdue > 0 ? "overdue-count" : "");
  else
    add("count-overdue", "overdue: off (--expect-every)");
  if (f.collector)
    add("count-connections", f.collector.connections + " connected" +
        (f.collector.storage_up ? "" : ", STORAGE DOWN"), f.collector.storage_up ? "" : "overdue-count");
  $("live").textContent = "updated " + new Date().toLocaleTimeString();
}

async function refreshDevices() {
  const params = new URLSearchParams({ sort: state.sort, order: state.order,
                                       offset: state.offset, limit: PAGE_ROWS });
  if (state.filter)
    params.set("q", state.filter);
  if (state.overdueOnly)
    params.set("overdue", "1");
  const page = await getJson("api/devices?" + params);
  const body = $("devices").tBodies[0];
  body.replaceChildren();
  for (const d of page.devices) {
    const tr = document.createElement("tr");
    tr.dataset.din = d.din;
    if (d.overdue)
      tr.className = "overdue";
    const din = linkCell(d.din, "#/device/" + encodeURIComponent(d.din));
    if (d.overdue)
      din.append(" ", badge("OVERDUE", "overdue"));
    tr.append(din, timeCell(d.first_seen), timeCell(d.last_seen));
    const outcome = cell(d.last_session.outcome);
    if (d.last_session.outcome === "sync failed")
      outcome.replaceChildren(badge("sync failed", "failed"));
    tr.append(outcome, cell(d.measurements, "number"), cell(offsetText(d.clock_offset_s), "number"),
              timeCell(d.last_status ? d.last_status_at : null));
    body.appendChild(tr);
  }
  const last = Math.min(state.offset + page.devices.length, page.total);
  $("page-info").textContent = page.total ? (state.offset + 1) + "\u2013" + last + " of " + page.total : "no devices";
  $("prev").disabled = state.offset === 0;
  $("next").disabled = last >= page.total;
  for (const th of document.querySelectorAll("#devices th[data-sort]"))
    th.className = th.dataset.sort === state.sort ? "sorted-" + state.order : "";
  document.body.dataset.devicesShown = page.devices.length;
  document.body.dataset.devicesTotal = page.total;
}

function fact(list, name, value) {
  const dt = document.createElement("dt");
  dt.textContent = name;
  const dd = document.createElement("dd");
  dd.textContent = value === null || value === undefined ? "\u2014" : String(value);
  list.append(dt, dd);
}

async function refreshDevice() {
  const din = state.din;
  const d = await getJson("api/devices/" + encodeURIComponent(din));
  $("device-title").textContent = "Device " + d.din;
  const facts = $("device-facts");
  facts.replaceChildren();
  fact(facts, "first seen", d.first_seen);
  fact(facts, "last contact", d.last_seen + (d.overdue ? "  (OVERDUE)" : ""));
  fact(facts, "last session", d.last_session.outcome);
  fact(facts, "measurements held", d.measurements);
  fact(facts, "last measurement received", d.last_measurement_at);
  fact(facts, "last status read", d.last_status_at);
  fact(facts, "clock offset at the last SYNC", offsetText(d.clock_offset_s));
  fact(facts, "last status", d.last_status ? JSON.stringify(d.last_status) : null);
  const syncs = $("syncs").tBodies[0];
  syncs.replaceChildren();
  for (const s of d.syncs) {
    const tr = document.createElement("tr");
    tr.append(timeCell(s.at), cell(s.ok ? "ok" : "failed"), cell(s.params_written ? "yes" : "no"),
              cell(s.device_time === null ? null : new Date(s.device_time * 1000).toISOString()));
    syncs.appendChild(tr);
  }
  const params = new URLSearchParams({ offset: state.mOffset, limit: MEASUREMENT_ROWS });
  const page = await getJson("api/devices/" + encodeURIComponent(din) + "/measurements?" + params);
  const body = $("measurements").tBodies[0];
  body.replaceChildren();
  for (const m of page.measurements) {
    const tr = document.createElement("tr");
    tr.append(linkCell(String(m.id), "#/measurement/" + m.id), cell(m.device_time), timeCell(m.received_at),
              cell(m.typeset, "number"), cell(m.sample_count, "number"));
    body.appendChild(tr);
  }
  $("measurement-count").textContent = "(" + page.total + ")";
  const last = Math.min(state.mOffset + page.measurements.length, page.total);
  $("m-page-info").textContent = page.total ? (state.mOffset + 1) + "\u2013" + last + " of " + page.total : "none";
  $("m-prev").disabled = state.mOffset === 0;
  $("m-next").disabled = last >= page.total;
}

// Wheel zooms the x range at the cursor; shift-drag pans it.
function wheelAndPan(u) {
  const over = u.over;
  over.addEventListener("wheel", (e) => {
    e.preventDefault();
    const { min, max } = u.scales.x;
    const at = u.posToVal(e.offsetX, "x");
    const factor = e.deltaY < 0 ? 0.75 : 1 / 0.75;
    u.setScale("x", { min: at - (at - min) * factor, max: at + (max - at) * factor });
  }, { passive: false });
  over.addEventListener("mousedown", (e) => {
    if (!e.shiftKey)
      return;
    e.preventDefault();
    e.stopPropagation();
    const startX = e.clientX;
    const { min, max } = u.scales.x;
    const perPixel = (max - min) / u.bbox.width * devicePixelRatio;
    const move = (ev) => {
      const shift = (ev.clientX - startX) * perPixel;
      u.setScale("x", { min: min - shift, max: max - shift });
    };
    const up = () => {
      document.removeEventListener("mousemove", move);
      document.removeEventListener("mouseup", up);
    };
    document.addEventListener("mousemove", move);
    document.addEventListener("mouseup", up);
  }, true);
}

async function showPlot(id) {
  const started = performance.now();
  const m = await getJson("api/measurements/" + encodeURIComponent(id));
  $("plot-title").textContent = "Measurement " + m.id + " of " + m.din + ", device time " +
      m.device_time + ", typeset " + m.typeset + ", " + m.sample_count + " samples";
  const x = new Float64Array(m.samples.length);
  for (let i = 0; i < x.length; ++i)
    x[i] = i;
  const y = Float64Array.from(m.samples);
  if (state.plot)
    state.plot.destroy();
  // The section's width less room for uPlot's own padding: no horizontal scroll bar.
  const width = Math.max(400, $("plot-view").clientWidth - 20);
  state.plot = new uPlot({
    width, height: 380,
    scales: { x: { time: false } },
    axes: [{ label: "sample" }, { label: "value", size: 70 }],
    series: [{ label: "sample" }, { label: "value", stroke: "#1f5fa8", width: 1 }],
    plugins: [{ hooks: { init: wheelAndPan } }],
  }, [x, y], $("plot"));
  window.lumoPlot = state.plot;
  document.body.dataset.plotMs = Math.round(performance.now() - started);
  document.body.dataset.plotId = m.id;
  // Since the navigation began: what a person waits for the drawn plot.
  document.body.dataset.plotDone = Math.round(performance.now());
}

function show(view) {
  for (const id of ["fleet-view", "device-view", "plot-view"])
    $(id).hidden = id !== view;
}

async function route() {
  showError(null);
  const hash = location.hash.replace(/^#\/?/, "");
  const [kind, arg] = hash.split("/");
  try {
    if (kind === "device" && arg) {
      if (state.din !== decodeURIComponent(arg))
        state.mOffset = 0;
      state.din = decodeURIComponent(arg);
      show("device-view");
      await refreshDevice();
    } else if (kind === "measurement" && arg) {
      state.din = null;
      show("plot-view");
      await showPlot(arg);
    } else {
      state.din = null;
      show("fleet-view");
      await refreshDevices();
    }
    await refreshCounts();
  } catch (e) {
    showError(e);
  }
}

async function refreshLive() {
  try {
    await refreshCounts();
    if (!$("fleet-view").hidden)
      await refreshDevices();
    else if (!$("device-view").hidden)
      await refreshDevice();
    showError(null);
  } catch (e) {
    showError(e);
  }
}

function wire() {
  let typing = null;
  $("filter").addEventListener("input", () => {
    clearTimeout(typing);
    typing = setTimeout(() => {
      state.filter = $("filter").value.trim();
      state.offset = 0;
      refreshLive();
    }, 250);
  });
  $("overdue-only").addEventListener("change", () => {
    state.overdueOnly = $("overdue-only").checked;
    state.offset = 0;
    refreshLive();
  });
  $("prev").addEventListener("click", () => { state.offset = Math.max(0, state.offset - PAGE_ROWS); refreshLive(); });
  $("next").addEventListener("click", () => { state.offset += PAGE_ROWS; refreshLive(); });
  $("m-prev").addEventListener("click", () => { state.mOffset = Math.max(0, state.mOffset - MEASUREMENT_ROWS); refreshLive(); });
  $("m-next").addEventListener("click", () => { state.mOffset += MEASUREMENT_ROWS; refreshLive(); });
  for (const th of document.querySelectorAll("#devices th[data-sort]")) {
    th.addEventListener("click", () => {
      if (state.sort === th.dataset.sort)
        state.order = state.order === "asc" ? "desc" : "asc";
      else
        Object.assign(state, { sort: th.dataset.sort, order: "asc" });
      state.offset = 0;
      refreshLive();
    });
  }
  window.addEventListener("hashchange", route);
  setInterval(refreshLive, REFRESH_MS);
  route();
}

document.addEventListener("DOMContentLoaded", wire);
