(function () {
  'use strict';
  // Draws the page for one data document; a live page draws it again for each newer
  // one, keeping the zoom and the selection of the last (`keep`).
  function render(data, keep) {
    var KINDS = ['succeeded', 'failed', 'restored', 'remote', 'retried', 'running'];
    var LABELS = ['succeeded', 'failed', 'restored from cache', 'ran remotely', 'retried', 'running'];
    var COLORS = ['#3a9d48', '#d7263d', '#2e86de', '#8e44ad', '#f39c12', '#95a5a6'];
    var FAILED = 1;
    var GRAPH_COLORS = ['#2e86de', '#e67e22', '#16a085', '#8e44ad', '#c0392b'];
    var LABEL_W = 180, ROW_H = 16, GROUP_H = 18, AXIS_H = 20, GRAPH_H = 56;
    var build = data.build, taskCount = data.tasks.begin.length;
    var duration = Math.max(1, build.durationMs);
    // A running task (no end yet) runs until the build's last moment so far.
    var T = Object.assign({}, data.tasks, {
      end: data.tasks.end.map(function (e) { return e < 0 ? build.durationMs : e; })
    });
    var facts = document.getElementById('facts');
    ['facts-list', 'legend', 'graphs', 'slowest', 'critical', 'failed', 'output-note']
      .forEach(function (id) { document.getElementById(id).textContent = ''; });
    document.getElementById('read-state').hidden = true;

    function $(id) { return document.getElementById(id); }
    function el(tag, cls, text) {
      var e = document.createElement(tag);
      if (cls) e.className = cls;
      if (text !== undefined && text !== null) e.textContent = String(text);
      return e;
    }
    function fmtMs(ms) {
      if (ms >= 60000) {
        var m = Math.floor(ms / 60000);
        return m + 'm ' + ((ms - m * 60000) / 1000).toFixed(1) + 's';
      }
      if (ms >= 1000) return (ms / 1000).toFixed(2) + 's';
      return Math.round(ms) + 'ms';
    }
    function durationOf(i) { return T.end[i] - T.begin[i]; }

    // ---- rows: grouped by machine, local machines first (the data is in that order)
    var lines = []; // {group: name} or {row: index}
    var lastMachine = -1;
    data.rows.forEach(function (row, i) {
      if (row.machine !== lastMachine) {
        var m = data.machines[row.machine];
        lines.push({ group: m.host + (m.local ? ' (local)' : ' (helper)') });
        lastMachine = row.machine;
      }
      lines.push({ row: i, caption: row.caption });
    });
    var cacheRow = -1;
    for (var i = 0; i < taskCount; ++i) {
      if (T.row[i] < 0) { cacheRow = data.rows.length; break; }
    }
    if (cacheRow >= 0) {
      lines.push({ group: 'build cache' });
      lines.push({ row: cacheRow, caption: 'restored without a row' });
    }
    var rowCount = data.rows.length + (cacheRow >= 0 ? 1 : 0);
    var rowTasks = [];
    for (var r = 0; r < rowCount; ++r) rowTasks.push([]);
    for (i = 0; i < taskCount; ++i) rowTasks[T.row[i] >= 0 ? T.row[i] : cacheRow].push(i);
    rowTasks.forEach(function (list) {
      list.sort(function (a, b) { return T.begin[a] - T.begin[b] || T.end[a] - T.end[b]; });
    });
    var lineTop = [], y = AXIS_H;
    lines.forEach(function (line) { lineTop.push(y); y += line.group !== undefined ? GROUP_H : ROW_H; });
    var timelineHeight = y + 2;

    // ---- header
    document.title = (build.caption || build.primaryFile || 'Build') + ' - build monitor';
    $('caption').textContent = build.caption || build.primaryFile || 'Build';
    var list = $('facts-list');
    function fact(name, value, id, cls) {
      list.appendChild(el('dt', null, name));
      var dd = el('dd', cls, value);
      if (id) dd.id = id;
      list.appendChild(dd);
    }
    fact('Result', build.result + (build.result !== 'unfinished' ? ' (exit code ' + build.exitCode + ')' : ''),
         'fact-result', 'result-' + build.result);
    fact('Started', build.start || 'unknown', 'fact-start');
    fact('Duration', fmtMs(build.durationMs), 'fact-duration');
    fact('Computer', build.computer || 'unknown');
    if (build.summary) fact('Summary', build.summary, 'fact-summary');
    if (build.counts) {
      fact('Counts', build.counts.built + ' built, ' + build.counts.skipped + ' skipped, ' +
           build.counts.errors + ' error(s), ' + build.counts.warnings + ' warning(s)', 'fact-counts');
    }
    var byKind = data.analysis.byKind;
    fact('Tasks', taskCount + ' (' + KINDS.filter(function (k) { return byKind[k] > 0; })
         .map(function (k) { return byKind[k] + ' ' + k; }).join(', ') + ')', 'fact-tasks');
    fact('Rows', data.rows.length + ' on ' + data.machines.length + ' machine(s)', 'fact-rows');
    fact('Parallelism', data.analysis.averageBusyRows.toFixed(2) + ' rows busy on average, peak ' +
         data.analysis.peakBusyRows + ', utilisation ' + (data.analysis.utilisation * 100).toFixed(1) + '%',
         'fact-parallelism');
    fact('Build cache', build.cache.length ? build.cache.join(' | ') : 'no summary', 'fact-cache');
    var read = data.read;
    if (data.live && !data.live.final) {
      $('read-state').hidden = false;
      $('read-state').textContent = 'Live: the build is running (' + read.events + ' events so far).';
    } else if (read.end !== 'complete') {
      var note = $('read-state');
      note.hidden = false;
      note.textContent = read.end === 'damaged'
        ? 'The history file is damaged: reading stopped at byte ' + read.stoppedAt +
          ' of the event stream after ' + read.events + ' events (' + read.reason + '). Everything before is shown.'
        : 'The history ends before the build did (' + read.events + ' events read' +
          (read.markedIncomplete ? ', the file is still being written' : '') + ').';
    }
    var legend = $('legend');
    KINDS.forEach(function (k, n) {
      var s = el('span'); var sw = el('i'); sw.style.background = COLORS[n];
      s.appendChild(sw); s.appendChild(document.createTextNode(LABELS[n])); legend.appendChild(s);
    });

    // ---- timeline
    var canvas = $('timeline'), wrap = $('timeline-wrap'), tooltip = $('tooltip');
    var view = { t0: 0, t1: duration };
    if (keep && keep.zoomed) {
      view.t1 = Math.min(duration, keep.t1); view.t0 = Math.min(keep.t0, view.t1 - 5);
    }
    var dpr = window.devicePixelRatio || 1;
    var drawn = { bars: 0, byKind: [0, 0, 0, 0, 0, 0] };
    function plotWidth() { return Math.max(50, canvas.clientWidth - LABEL_W); }
    function xOf(ms) { return LABEL_W + (ms - view.t0) * plotWidth() / (view.t1 - view.t0); }
    function msOf(x) { return view.t0 + (x - LABEL_W) * (view.t1 - view.t0) / plotWidth(); }
    // First task of a row whose end is at or after `ms` (bars on a row never overlap).
    function firstEndingAfter(list, ms) {
      var lo = 0, hi = list.length;
      while (lo < hi) { var mid = (lo + hi) >> 1; if (T.end[list[mid]] < ms) lo = mid + 1; else hi = mid; }
      return lo;
    }
    function sizeCanvas(c, h) {
      var w = c.clientWidth || 800;
      c.style.height = h + 'px';
      if (c.width !== Math.round(w * dpr) || c.height !== Math.round(h * dpr)) {
        c.width = Math.round(w * dpr); c.height = Math.round(h * dpr);
      }
      var ctx = c.getContext('2d');
      ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
      return ctx;
    }
    function drawAxis(ctx, width) {
      ctx.fillStyle = '#f3f3f3'; ctx.fillRect(0, 0, width, AXIS_H);
      ctx.fillStyle = '#555'; ctx.font = '11px sans-serif'; ctx.textBaseline = 'middle';
      var span = view.t1 - view.t0, step = Math.pow(10, Math.floor(Math.log10(span / 8)));
      if (span / step > 16) step *= 5; else if (span / step > 8) step *= 2;
      step = Math.max(step, 1);
      ctx.strokeStyle = '#e6e6e6';
      for (var t = Math.ceil(view.t0 / step) * step; t <= view.t1; t += step) {
        var x = Math.round(xOf(t)) + 0.5;
        ctx.fillText(fmtMs(t), x + 2, AXIS_H / 2);
        ctx.beginPath(); ctx.moveTo(x, AXIS_H - 4); ctx.lineTo(x, timelineHeight); ctx.stroke();
      }
    }
    function drawTimeline() {
      var ctx = sizeCanvas(canvas, timelineHeight);
      var width = canvas.clientWidth || 800;
      ctx.clearRect(0, 0, width, timelineHeight);
      drawAxis(ctx, width);
      drawn.bars = 0; drawn.byKind = [0, 0, 0, 0, 0, 0];
      var batches = [[], [], [], [], [], []];
      lines.forEach(function (line, li) {
        var top = lineTop[li];
        if (line.group !== undefined) {
          ctx.fillStyle = '#e8edf3'; ctx.fillRect(0, top, width, GROUP_H);
          ctx.fillStyle = '#234'; ctx.font = 'bold 11px sans-serif'; ctx.textBaseline = 'middle';
          ctx.fillText(line.group, 4, top + GROUP_H / 2);
          return;
        }
        ctx.fillStyle = '#333'; ctx.font = '11px sans-serif'; ctx.textBaseline = 'middle';
        ctx.fillText(line.caption, 12, top + ROW_H / 2, LABEL_W - 16);
        var list = rowTasks[line.row];
        // Bars of a kind that touch (closer than half a pixel) become one rectangle:
        // zoomed out, thousands of bars share a few hundred pixels of a row.
        var runFrom = [-1, -1, -1, -1, -1, -1], runTo = [0, 0, 0, 0, 0, 0];
        for (var k = firstEndingAfter(list, view.t0); k < list.length; ++k) {
          var t = list[k], kind = T.kind[t];
          if (T.begin[t] > view.t1) break;
          var x0 = Math.max(LABEL_W, xOf(T.begin[t])), x1 = Math.max(x0 + 1, Math.min(width, xOf(T.end[t])));
          drawn.bars++; drawn.byKind[kind]++;
          if (runFrom[kind] >= 0 && x0 <= runTo[kind] + 0.5) {
            if (x1 > runTo[kind]) runTo[kind] = x1;
            continue;
          }
          if (runFrom[kind] >= 0) batches[kind].push(runFrom[kind], top + 2, runTo[kind] - runFrom[kind]);
          runFrom[kind] = x0; runTo[kind] = x1;
        }
        for (var kd = 0; kd < runFrom.length; ++kd) {
          if (runFrom[kd] >= 0) batches[kd].push(runFrom[kd], top + 2, runTo[kd] - runFrom[kd]);
        }
      });
      var rects = 0;
      batches.forEach(function (b, kind) {
        ctx.fillStyle = COLORS[kind];
        for (var j = 0; j < b.length; j += 3) ctx.fillRect(b[j], b[j + 1], b[j + 2], ROW_H - 4);
        rects += b.length / 3;
      });
      drawn.rects = rects;
      if (selected >= 0) {
        var sl = lineOfRow(T.row[selected] >= 0 ? T.row[selected] : cacheRow);
        ctx.strokeStyle = '#000'; ctx.lineWidth = 2;
        ctx.strokeRect(xOf(T.begin[selected]), lineTop[sl] + 1, Math.max(2, xOf(T.end[selected]) - xOf(T.begin[selected])), ROW_H - 2);
        ctx.lineWidth = 1;
      }
      ctx.fillStyle = '#ddd'; ctx.fillRect(LABEL_W - 1, AXIS_H, 1, timelineHeight - AXIS_H);
      $('view-range').textContent = fmtMs(view.t0) + ' \u2013 ' + fmtMs(view.t1);
    }
    function lineOfRow(row) {
      for (var li = 0; li < lines.length; ++li) if (lines[li].row === row) return li;
      return -1;
    }

    // ---- graphs
    var graphCanvases = [], graphPoints = 0;
    data.graphs.forEach(function (g) {
      var c = el('canvas'); c.dataset.graph = g.name; $('graphs').appendChild(c);
      graphCanvases.push({ canvas: c, row: g });
    });
    function drawGraphs() {
      graphPoints = 0;
      graphCanvases.forEach(function (gc) {
        var c = gc.canvas, ctx = sizeCanvas(c, GRAPH_H), width = c.clientWidth || 800;
        ctx.clearRect(0, 0, width, GRAPH_H);
        ctx.fillStyle = '#333'; ctx.font = '11px sans-serif'; ctx.textBaseline = 'top';
        ctx.fillText(gc.row.name, 4, 4, LABEL_W - 8);
        var legendY = 18, drawnHere = 0;
        gc.row.sets.forEach(function (set) {
          var max = 1;
          set.values.forEach(function (vs, gi) {
            var d = set.graphs[gi].divideBy || 1;
            vs.forEach(function (v) { if (v / d > max) max = v / d; });
          });
          set.values.forEach(function (vs, gi) {
            var d = set.graphs[gi].divideBy || 1, colour = GRAPH_COLORS[gi % GRAPH_COLORS.length];
            ctx.save(); ctx.beginPath(); ctx.rect(LABEL_W, 0, width - LABEL_W, GRAPH_H); ctx.clip();
            ctx.strokeStyle = colour; ctx.lineWidth = 1.5; ctx.beginPath();
            // Steps: a sample holds until the next one (the last until the build's end),
            // so a build shorter than the sampling interval still shows its one sample.
            var started = false;
            for (var s = 0; s < vs.length; ++s) {
              var ms = set.ms[s], until = s + 1 < vs.length ? set.ms[s + 1] : Math.max(ms, duration);
              if (until < view.t0) continue;
              if (ms > view.t1) break;
              var yv = GRAPH_H - 3 - (vs[s] / d) * (GRAPH_H - 8) / max;
              if (!started) { ctx.moveTo(xOf(ms), yv); started = true; } else ctx.lineTo(xOf(ms), yv);
              ctx.lineTo(Math.max(xOf(until), xOf(ms) + 2), yv);
              graphPoints++; drawnHere++;
            }
            ctx.stroke(); ctx.restore();
            ctx.fillStyle = colour;
            ctx.fillText(set.graphs[gi].name + (set.ms.length ? ' (max ' + Math.round(max) + (set.graphs[gi].units ? ' ' + set.graphs[gi].units : '') + ')' : ' (no samples)'), 4, legendY, LABEL_W - 8);
            legendY += 12;
          });
        });
        c.dataset.points = drawnHere;
      });
    }
    function redraw() { drawTimeline(); drawGraphs(); writeFacts(); }

    // ---- zoom and pan
    function setView(t0, t1) {
      var span = Math.max(5, Math.min(duration, t1 - t0));
      t0 = Math.max(0, Math.min(duration - span, t0));
      view.t0 = t0; view.t1 = t0 + span;
      redraw();
    }
    function zoom(factor, atMs) {
      var span = view.t1 - view.t0, ns = span * factor;
      var f = (atMs - view.t0) / span;
      setView(atMs - f * ns, atMs - f * ns + ns);
    }
    $('zoom-in').onclick = function () { zoom(0.5, (view.t0 + view.t1) / 2); };
    $('zoom-out').onclick = function () { zoom(2, (view.t0 + view.t1) / 2); };
    $('zoom-reset').onclick = function () { setView(0, duration); };
    $('pan-left').onclick = function () { var s = view.t1 - view.t0; setView(view.t0 - s / 4, view.t1 - s / 4); };
    $('pan-right').onclick = function () { var s = view.t1 - view.t0; setView(view.t0 + s / 4, view.t1 + s / 4); };
    // Handlers as properties: a page drawn again replaces them.
    canvas.onwheel = function (ev) {
      ev.preventDefault();
      var x = ev.offsetX;
      zoom(ev.deltaY < 0 ? 0.8 : 1.25, x > LABEL_W ? msOf(x) : (view.t0 + view.t1) / 2);
    };
    var drag = null;
    canvas.onmousedown = function (ev) {
      drag = { x: ev.clientX, t0: view.t0, t1: view.t1, moved: false };
      canvas.classList.add('dragging');
    };
    window.onmouseup = function (ev) {
      if (drag && !drag.moved) clickAt(ev);
      drag = null; canvas.classList.remove('dragging');
    };
    window.onmousemove = function (ev) {
      if (drag) {
        var dx = ev.clientX - drag.x;
        if (Math.abs(dx) > 3) drag.moved = true;
        if (drag.moved) {
          var dt = dx * (drag.t1 - drag.t0) / plotWidth();
          setView(drag.t0 - dt, drag.t1 - dt);
        }
        tooltip.hidden = true;
        return;
      }
      if (ev.target !== canvas) { tooltip.hidden = true; return; }
      var t = taskAt(ev.offsetX, ev.offsetY);
      if (t < 0) { tooltip.hidden = true; return; }
      tooltip.textContent = describe(t);
      tooltip.hidden = false;
      var left = Math.min(ev.offsetX + 14, wrap.clientWidth - tooltip.offsetWidth - 4);
      tooltip.style.left = Math.max(0, left) + 'px';
      tooltip.style.top = (ev.offsetY + 14) + 'px';
    };
    canvas.onmouseleave = function () { tooltip.hidden = true; };
    function taskAt(x, yy) {
      if (x < LABEL_W) return -1;
      for (var li = 0; li < lines.length; ++li) {
        if (lines[li].row === undefined) continue;
        if (yy >= lineTop[li] && yy < lineTop[li] + ROW_H) {
          var list = rowTasks[lines[li].row], ms = msOf(x), slack = 3 * (view.t1 - view.t0) / plotWidth();
          for (var k = firstEndingAfter(list, ms - slack); k < list.length; ++k) {
            var t = list[k];
            if (T.begin[t] > ms + slack) break;
            return t;
          }
          return -1;
        }
      }
      return -1;
    }
    function workerOf(t) { return T.row[t] >= 0 ? data.rows[T.row[t]].caption : 'build cache'; }
    function describe(t) {
      var text = T.name[t] + '\n' + LABELS[T.kind[t]] + ' on ' + workerOf(t) + ', ' + fmtMs(durationOf(t)) +
        (T.exit[t] !== null ? ', exit code ' + T.exit[t] : '');
      if (T.hints[T.hint[t]]) text += "\n" + T.hints[T.hint[t]];
      if (T.cmd[t]) text += '\n' + T.cmd[t];
      return text;
    }

    // ---- output and selection
    var selected = -1, outputDiv = $('output'), O = data.output;
    // Output only grows: a live page adds the new lines to those it shows, unless its
    // data was replaced by a whole document.
    var continues = keep && keep.outputText === O.text && keep.outputLines <= O.text.length;
    var linesByTask = continues ? keep.linesByTask : {};
    if (continues) {
      outputDiv.querySelectorAll('.selected').forEach(function (d) { d.classList.remove('selected'); });
    } else {
      outputDiv.textContent = '';
    }
    var fragment = document.createDocumentFragment();
    for (var o = continues ? keep.outputLines : 0; o < O.text.length; ++o) {
      var d = el('div', 'line' + (O.error[o] ? ' err' : ''), O.text[o]);
      d.dataset.task = O.task[o];
      if (O.task[o] !== 0) (linesByTask[O.task[o]] = linesByTask[O.task[o]] || []).push(d);
      fragment.appendChild(d);
    }
    outputDiv.appendChild(fragment);
    if (!O.text.length) $('output-note').textContent = 'The build wrote no output.';
    var marked = [];
    function select(t, quiet) {
      selected = t;
      marked.forEach(function (d) { d.classList.remove('selected'); });
      marked = linesByTask[T.id[t]] || [];
      marked.forEach(function (d) { d.classList.add('selected'); });
      $('output-note').textContent = marked.length
        ? marked.length + ' line(s) of ' + T.name[t] + ' marked.'
        : T.name[t] + ' wrote no output.';
      facts.dataset.selectedTask = T.id[t];
      facts.dataset.selectedLines = marked.length;
      if (marked.length && !quiet) {
        outputDiv.scrollTop = marked[0].offsetTop - outputDiv.offsetTop - 8;
        $('output-section').scrollIntoView({ block: 'start' });
      }
      drawTimeline();
    }
    function clickAt(ev) {
      if (ev.target !== canvas) return;
      var rect = canvas.getBoundingClientRect();
      var t = taskAt(ev.clientX - rect.left, ev.clientY - rect.top);
      if (t >= 0) select(t);
    }

    // ---- tables
    function kindBadge(t) {
      var b = el('span', 'kind', LABELS[T.kind[t]]); b.style.background = COLORS[T.kind[t]]; return b;
    }
    function taskTable(table, tasks, withStart) {
      var head = el('tr');
      ['Task', 'Worker', 'Outcome'].concat(withStart ? ['Start'] : []).concat(['Duration']).forEach(function (h, n, all) {
        head.appendChild(el('th', n >= all.length - (withStart ? 2 : 1) ? 'num' : null, h));
      });
      table.appendChild(head);
      tasks.forEach(function (t) {
        var tr = el('tr', 'task-link task-' + KINDS[T.kind[t]]);
        tr.dataset.task = T.id[t];
        tr.title = describe(t);
        tr.appendChild(el('td', null, T.name[t]));
        tr.appendChild(el('td', null, workerOf(t)));
        var k = el('td'); k.appendChild(kindBadge(t)); tr.appendChild(k);
        if (withStart) tr.appendChild(el('td', 'num', fmtMs(T.begin[t])));
        tr.appendChild(el('td', 'num', fmtMs(durationOf(t))));
        tr.onclick = function () { select(t); };
        table.appendChild(tr);
      });
    }
    taskTable($('slowest'), data.analysis.slowest, false);
    var critical = data.analysis.critical;
    $('critical-note').textContent = data.analysis.criticalFromDependencies
      ? 'The chain of dependent tasks that decided the build\u2019s end.'
      : 'The tasks carry no dependencies: from the task that ended last, each one is the task that ended last before it began (' + data.analysis.criticalTasks + ' tasks).';
    taskTable($('critical'), critical, true);
    var failedTasks = [];
    for (i = 0; i < taskCount; ++i) if (T.kind[i] === FAILED) failedTasks.push(i);
    taskTable($('failed'), failedTasks.slice(0, 500), true);
    if (!failedTasks.length) $('failed').appendChild(el('tr', null, 'No task failed.'));

    // ---- facts a test (or a person with the inspector) can read
    function pixelKind(t) {
      var li = lineOfRow(T.row[t] >= 0 ? T.row[t] : cacheRow);
      var x = (Math.max(LABEL_W, xOf(T.begin[t])) + Math.min(canvas.clientWidth, xOf(T.end[t]))) / 2;
      var px = canvas.getContext('2d').getImageData(Math.floor(x * dpr), Math.floor((lineTop[li] + ROW_H / 2) * dpr), 1, 1).data;
      for (var k = 0; k < COLORS.length; ++k) {
        var c = COLORS[k];
        if (parseInt(c.substr(1, 2), 16) === px[0] && parseInt(c.substr(3, 2), 16) === px[1] &&
            parseInt(c.substr(5, 2), 16) === px[2]) return KINDS[k];
      }
      return 'none';
    }
    function writeFacts() {
      facts.dataset.rows = data.rows.length;
      facts.dataset.machines = data.machines.length;
      facts.dataset.tasks = taskCount;
      facts.dataset.drawnBars = drawn.bars;
      facts.dataset.drawnRects = drawn.rects;
      KINDS.forEach(function (k, n) { facts.dataset['drawn' + k.charAt(0).toUpperCase() + k.slice(1)] = drawn.byKind[n]; });
      facts.dataset.graphRows = graphCanvases.length;
      facts.dataset.graphPoints = graphPoints;
      facts.dataset.durationMs = build.durationMs;
      facts.dataset.peakBusy = data.analysis.peakBusyRows;
      facts.dataset.averageBusy = data.analysis.averageBusyRows.toFixed(2);
      facts.dataset.outputLines = O.text.length;
      facts.dataset.viewStart = Math.round(view.t0);
      facts.dataset.viewEnd = Math.round(view.t1);
    }
    function checkPixels() {
      // The colour a person sees in the middle of the longest bar of each kind.
      KINDS.forEach(function (k, n) {
        var best = -1;
        for (var t = 0; t < taskCount; ++t) if (T.kind[t] === n && (best < 0 || durationOf(t) > durationOf(best))) best = t;
        if (best >= 0) facts.dataset['pixel' + k.charAt(0).toUpperCase() + k.slice(1)] = pixelKind(best);
      });
      var inked = 0;
      graphCanvases.forEach(function (gc) {
        var c = gc.canvas, img = c.getContext('2d').getImageData(Math.floor(LABEL_W * dpr), 0, c.width - Math.floor(LABEL_W * dpr), c.height).data;
        for (var p = 3; p < img.length; p += 4) if (img[p] !== 0) { inked++; break; }
      });
      facts.dataset.graphsInked = inked;
    }
    var started = performance.now();
    redraw();
    checkPixels();
    facts.dataset.renderMs = Math.round(performance.now() - started);
    if (!keep) {
      // What one step of zooming costs: a redraw of everything at half the span.
      var zoomStarted = performance.now();
      zoom(0.5, duration / 2);
      zoom(2, duration / 2);
      facts.dataset.zoomMs = Math.round((performance.now() - zoomStarted) / 2);
    } else if (keep.selectedId !== undefined) {
      for (i = 0; i < taskCount; ++i) if (T.id[i] === keep.selectedId) { select(i, true); break; }
    }
    // "#task=<ID>" points at a task's bar as a click there would, and shows its output.
    var wanted = keep ? null : /[#&]task=(-?\d+)/.exec(location.hash);
    if (wanted) {
      var target = -1;
      for (i = 0; i < taskCount; ++i) if (String(T.id[i]) === wanted[1]) { target = i; break; }
      var hit = -1;
      if (target >= 0) {
        var li = lineOfRow(T.row[target] >= 0 ? T.row[target] : cacheRow);
        var cx = (Math.max(LABEL_W, xOf(T.begin[target])) + Math.min(canvas.clientWidth, xOf(T.end[target]))) / 2;
        hit = taskAt(cx, lineTop[li] + ROW_H / 2);
      }
      facts.dataset.hit = hit >= 0 ? T.id[hit] : 'none';
      if (hit >= 0) select(hit);
    }
    facts.dataset.ready = 'yes';
    window.onresize = redraw;
    return {
      zoomed: view.t0 > 0 || view.t1 < duration, t0: view.t0, t1: view.t1,
      selectedId: selected >= 0 ? T.id[selected] : undefined,
      outputText: O.text, outputLines: O.text.length, linesByTask: linesByTask,
      tasks: taskCount, bars: drawn.bars
    };
  }

  // Brings the page's data (`held`, null at first) up to date with a document: a whole
  // one (no "base") is what a partial one would be on empty data. A partial one holds
  // the changed sections whole, new rows after "rowsFrom", changed tasks at the places
  // "at" names (in order without it), hints after "hintsFrom", output lines after
  // "from", each graph set's samples after its "from".
  var TASK_COLUMNS = ['row', 'begin', 'end', 'kind', 'exit', 'name', 'cmd', 'id', 'hint', 'errors'];
  var OUTPUT_COLUMNS = ['ms', 'task', 'error', 'text'];
  function place(into, from, values) {
    into.length = from || 0;
    for (var i = 0; i < values.length; ++i) into.push(values[i]);
    return into;
  }
  function merge(held, doc) {
    var data = held && doc.base !== undefined ? held : { rows: [], graphs: [], tasks: { hints: [] }, output: {} };
    Object.keys(doc).forEach(function (key) {
      if (['rows', 'rowsFrom', 'graphs', 'tasks', 'output'].indexOf(key) < 0) data[key] = doc[key];
    });
    if (doc.rows) place(data.rows, doc.rowsFrom, doc.rows);
    var t = doc.tasks;
    TASK_COLUMNS.forEach(function (c) {
      var into = data.tasks[c] || (data.tasks[c] = []), values = t[c];
      for (var j = 0; j < values.length; ++j) into[t.at ? t.at[j] : j] = values[j];
    });
    place(data.tasks.hints, t.hintsFrom, t.hints);
    if (doc.output) {
      OUTPUT_COLUMNS.forEach(function (c) {
        place(data.output[c] || (data.output[c] = []), doc.output.from, doc.output[c]);
      });
    }
    (doc.graphs || []).forEach(function (row, r) {
      var have = data.graphs[r];
      if (!have) { data.graphs[r] = row; return; }
      have.name = row.name;
      row.sets.forEach(function (set, n) {
        var h = have.sets[n];
        if (!h || !set.from) { have.sets[n] = set; return; }
        h.name = set.name; h.graphs = set.graphs;
        place(h.ms, set.from, set.ms);
        set.values.forEach(function (vs, g) { place(h.values[g] || (h.values[g] = []), set.from, vs); });
      });
    });
    return data;
  }

  // Until the script runs: the browser has read and parsed the page with its data.
  var scriptStarted = performance.now();
  var parseStarted = performance.now();
  var embedded = JSON.parse(document.getElementById('build-data').textContent);
  var parseMs = performance.now() - parseStarted;
  var first = merge(null, embedded);
  var shown = render(first, null);
  // From the start of navigation to the first complete draw, and the data's share of it.
  document.getElementById('facts').dataset.firstDrawMs = Math.round(performance.now());
  document.getElementById('facts').dataset.parseMs = Math.round(parseMs);
  document.getElementById('facts').dataset.scriptStartMs = Math.round(scriptStarted);
  if (!first.live || first.live.final) return;
  // A live page: every update of the build arrives as a server-sent event, after the
  // version the page holds only what changed. One that does not follow on the page's
  // version (missed, or the stream started over) makes the page ask for the whole.
  var facts = document.getElementById('facts'), seen = [shown.tasks + ':' + shown.bars];
  var held = first, deltas = 0, resyncs = 0, source = null;
  facts.dataset.liveUpdates = 0;
  facts.dataset.liveDeltas = 0;
  facts.dataset.liveResyncs = 0;
  facts.dataset.liveSeen = seen.join(' ');
  function listen(since) {
    source = new EventSource(since !== undefined ? 'events?since=' + since : 'events');
    source.onmessage = receive;
    source.onerror = function () {
      // The view has gone (it ends some time after the build): the page keeps what it has.
      if (source.readyState === EventSource.CLOSED) facts.dataset.liveLost = 'yes';
    };
  }
  function receive(ev) {
    var doc = JSON.parse(ev.data);
    if (doc.base !== undefined && doc.base !== held.version) {
      source.close();
      facts.dataset.liveResyncs = ++resyncs;
      listen();
      return;
    }
    if (doc.base !== undefined) facts.dataset.liveDeltas = ++deltas;
    held = merge(held, doc);
    shown = render(held, shown);
    seen.push(shown.tasks + ':' + shown.bars);
    facts.dataset.liveUpdates = seen.length - 1;
    facts.dataset.liveSeen = seen.join(' ');
    if (held.live && held.live.final) {
      source.close();
      facts.dataset.liveFinal = 'yes';
    }
  }
  listen(held.version);
})();
