// The review workspace page in the editor's panel. It talks to the editor only
// through the panel bridge ("fcpBridge" requests answered by "fcp:resolve",
// and the pushed "fcp:" events), and to the service through its JSON API.
(function () {
  'use strict';

  var token = document.querySelector('meta[name="tavrin-token"]').content;
  var projectId = document.querySelector('meta[name="tavrin-project"]').content;
  // How long a bridge request may go unanswered before the page says so; the
  // container's own time-out is 60 s.
  var answerTimeoutMs = 65000;

  var state = {
    connected: false,
    sequence: null,          // the sequence info dictionary, or null
    playhead: 0,             // seconds
    playheadEvents: 0,       // playhead events received so far
    sequenceEvents: 0,       // sequence events received so far
    comments: new Map(),     // id -> comment
    videos: new Map(),       // id -> video
    cursor: 0,               // change feed position
    synced: new Map(),       // id -> the comment record last sent with syncComment
    gone: new Set(),         // ids of deleted comments: a late answer cannot bring one back
    states: new Map(),       // id -> how many states of the comment the feed or a load brought
    loaded: false,           // the project has been loaded once
    draft: null,             // the text of the comment being edited, as typed so far
    highlighted: null,       // id of the comment of the last clicked marker
    editing: null,           // id of the comment being edited
    confirmDelete: null,     // id of the comment whose Delete asks to be pressed again
    markIn: null,            // seconds, start of a range comment
    folder: null,
    watching: false,
    exportBusy: false        // a folder, start or stop request is open
  };

  function $(id) { return document.getElementById(id); }
  function el(tag, className, text) {
    var node = document.createElement(tag);
    // Text of people (names, comments) may be right to left: each piece takes
    // its own direction, or its punctuation lands at the wrong end.
    if (text !== undefined) node.dir = 'auto';
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // ---- problems: every failed answer is shown until dismissed ----------------

  // The same failure again (a service that stays away) is counted on its
  // line, so it cannot push the other failures out of the list.
  function showProblem(text) {
    var times = 1;
    Array.from($('problems').children).forEach(function (old) {
      if (old.dataset.text !== text) return;
      times += Number(old.dataset.times);
      old.remove();
    });
    var item = el('li');
    item.dataset.text = text;
    item.dataset.times = times;
    item.appendChild(el('span', '', times > 1 ? text + ' (×' + times + ')' : text));
    var close = el('button', '', '×');
    close.title = 'Dismiss';
    close.addEventListener('click', function () { item.remove(); });
    item.appendChild(close);
    $('problems').appendChild(item);
    while ($('problems').children.length > 5) $('problems').firstChild.remove();
  }

  // ---- the panel bridge --------------------------------------------------------

  var bridge = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.fcpBridge;
  var pending = new Map();
  var nextRequest = 1;

  // Sends one command; resolves with the parsed answer, or rejects when there
  // is no bridge or no answer in time.
  function request(command, args) {
    return new Promise(function (resolve, reject) {
      if (!bridge) {
        reject(new Error('the editor bridge is not available'));
        return;
      }
      var resolveId = 'page-' + (nextRequest++);
      var timer = setTimeout(function () {
        pending.delete(resolveId);
        reject(new Error('no answer'));
      }, answerTimeoutMs);
      pending.set(resolveId, { resolve: resolve, timer: timer });
      var message = Object.assign({}, args || {}, { command: command, resolveId: resolveId });
      try {
        bridge.postMessage(message);
      } catch (e) {
        clearTimeout(timer);
        pending.delete(resolveId);
        reject(e);
      }
    });
  }

  window.addEventListener('fcp:resolve', function (event) {
    var detail = event.detail || {};
    var waiting = pending.get(detail.resolveId);
    if (!waiting) return;
    pending.delete(detail.resolveId);
    clearTimeout(waiting.timer);
    var value = null;
    try { value = JSON.parse(detail.value); } catch (e) { value = null; }
    waiting.resolve(value);
  });

  // A request whose answer false or null (or none) means it failed: shows
  // `what` with the reason and resolves with the answer (null on no answer).
  function command(name, args, what) {
    return request(name, args).then(function (value) {
      if (value === false || value === null)
        showProblem(what + ' failed (' + name + ' answered ' + JSON.stringify(value) + ')');
      return value;
    }, function (error) {
      showProblem(what + ' failed (' + name + ': ' + error.message + ')');
      return null;
    });
  }

  // ---- timecode ------------------------------------------------------------------

  function pad(n) { return (n < 10 ? '0' : '') + n; }
  function frameRate() {
    var rate = state.sequence && state.sequence.frameRate;
    return typeof rate === 'number' && isFinite(rate) && rate > 0 ? rate : 0;
  }
  // The bridge rounds rates to two decimals: 23.98, 29.97 and 59.94 stand for
  // 24000/1001, 30000/1001 and 60000/1001. Counting at the rounded rate puts
  // the playhead a frame off (at once for 29.97, within minutes for 23.98).
  function exactRate(rate) {
    var ntsc = Math.round(rate) * 1000 / 1001;
    return Math.abs(rate - ntsc) < 0.006 ? ntsc : rate;
  }
  // A time in seconds from the editor or the service: a finite number, at least 0.
  function validTime(value) { return typeof value === 'number' && isFinite(value) ? Math.max(0, value) : null; }

  // HH:MM:SS:FF at the sequence's frame rate (frames counted at the nominal,
  // whole rate, as non-drop timecode does); HH:MM:SS.mmm when it is unknown.
  function timecode(seconds) {
    seconds = Math.max(0, Number(seconds) || 0);
    var rate = frameRate();
    // Beyond whole-number precision the fields would be made up.
    if (seconds * Math.max(rate, 1000) > Number.MAX_SAFE_INTEGER) return '--:--:--:--';
    if (!rate) {
      var whole = Math.floor(seconds);
      var ms = Math.round((seconds - whole) * 1000);
      if (ms === 1000) { whole += 1; ms = 0; }
      return pad(Math.floor(whole / 3600)) + ':' + pad(Math.floor(whole / 60) % 60) + ':' +
        pad(whole % 60) + '.' + String(ms).padStart(3, '0');
    }
    var nominal = Math.max(1, Math.round(rate));
    var count = seconds * exactRate(rate);
    var frames = Math.floor(count + 1e-6 + count * 1e-12);
    var ff = String(frames % nominal).padStart(Math.max(2, String(nominal - 1).length), '0');
    var total = Math.floor(frames / nominal);
    return pad(Math.floor(total / 3600)) + ':' + pad(Math.floor(total / 60) % 60) + ':' +
      pad(total % 60) + ':' + ff;
  }

  // ---- the editor's state --------------------------------------------------------

  function renderEditor() {
    var editor = $('editor-state');
    editor.textContent = bridge ? (state.connected ? 'Editor: connected' : 'Editor: waiting') : 'Editor: no bridge';
    editor.className = 'pill ' + (!bridge ? 'bad' : state.connected ? 'ok' : 'pending');
    $('sequence').textContent = state.sequence
      ? sequenceName() + (frameRate() ? ' · ' + frameRate() + ' fps' : '')
      : 'No active sequence';
    $('playhead').textContent = timecode(state.playhead);
    var range = newRange();
    $('add-comment').textContent = 'Add at ' + timecode(range.timestamp);
    $('range').hidden = state.markIn === null;
    if (state.markIn !== null)
      $('range').textContent = 'Range ' + timecode(range.timestamp) + ' – ' + timecode(range.timestampEnd) + ' (click In again to clear)';
    if (!$('export-name').value && state.sequence) $('export-name').placeholder = sequenceName();
  }

  function sequenceName() {
    var name = state.sequence && state.sequence.name;
    return typeof name === 'string' && name.trim() ? name : 'Untitled sequence';
  }
  // The sequence info of an event or answer: an object, or none.
  function sequenceFrom(value) {
    return value && typeof value === 'object' && !Array.isArray(value) ? value : null;
  }

  // The times a new comment gets: the playhead, or the range between the In
  // point and the playhead, whichever of the two comes first.
  function newRange() {
    if (state.markIn === null) return { timestamp: state.playhead };
    return { timestamp: Math.min(state.markIn, state.playhead), timestampEnd: Math.max(state.markIn, state.playhead) };
  }

  function readTimeline() {
    // A sequence or playhead event that arrives before the answer is newer than it.
    var sequenceSeen = state.sequenceEvents;
    command('getTimeline', {}, 'Reading the active sequence').then(function (info) {
      if (sequenceSeen !== state.sequenceEvents) return;
      state.sequence = sequenceFrom(info);
      renderEditor();
      renderComments();
    });
    var seen = state.playheadEvents;
    command('getPlayhead', {}, 'Reading the playhead').then(function (value) {
      if (validTime(value) !== null && seen === state.playheadEvents) state.playhead = validTime(value);
      renderEditor();
    });
  }

  window.addEventListener('fcp:connected', function () {
    state.connected = true;
    renderEditor();
    readTimeline();
  });
  window.addEventListener('fcp:sequence-changed', function (event) {
    state.sequence = sequenceFrom(event.detail);
    state.sequenceEvents++;
    renderEditor();
    renderComments();
  });
  window.addEventListener('fcp:playhead-changed', function (event) {
    if (event.detail && validTime(event.detail.seconds) !== null) {
      state.playhead = validTime(event.detail.seconds);
      state.playheadEvents++;
    }
    renderEditor();
  });
  window.addEventListener('fcp:marker-clicked', function (event) {
    var marker = event.detail || {};
    if (!state.comments.has(marker.id)) {
      showProblem('The marker at ' + timecode(marker.seconds) + ' belongs to no comment of this project');
      return;
    }
    state.highlighted = marker.id;
    renderComments();
    var node = document.querySelector('.comment[data-id="' + CSS.escape(marker.id) + '"]');
    if (node) node.scrollIntoView({ block: 'nearest' });
  });

  // ---- the service ------------------------------------------------------------------

  function setService(ok, text) {
    $('service-state').textContent = 'Service: ' + text;
    $('service-state').className = 'pill ' + (ok ? 'ok' : 'bad');
  }

  function api(method, path, body) {
    var options = { method: method, headers: { 'Authorization': 'Bearer ' + token }, cache: 'no-store' };
    if (body !== undefined) {
      options.headers['Content-Type'] = 'application/json';
      options.body = JSON.stringify(body);
    }
    return fetch(path, options).then(function (response) {
      return response.json().catch(function () { return {}; }).then(function (data) {
        if (!response.ok) throw new Error(data.error || ('HTTP ' + response.status));
        return data;
      });
    });
  }

  // ---- comments ------------------------------------------------------------------------

  // The record the container turns into a marker.
  function recordOf(comment) {
    return {
      id: comment.id,
      timestamp: comment.timestamp,
      timestampEnd: comment.timestampEnd === undefined ? null : comment.timestampEnd,
      userName: comment.userName,
      content: comment.content,
      resolved: !!comment.resolved
    };
  }

  // Brings the comment's marker up to date, unless it already is.
  function syncMarker(comment) {
    var record = recordOf(comment);
    var text = JSON.stringify(record);
    if (state.synced.get(comment.id) === text) return;
    state.synced.set(comment.id, text);
    // Whole characters only: a cut emoji would show as a broken glyph.
    var title = Array.from(String(comment.content)).slice(0, 40).join('');
    command('syncComment', record, 'Syncing the marker of “' + title + '”').then(function (ok) {
      if (ok !== true && state.synced.get(comment.id) === text) state.synced.delete(comment.id);
    });
  }

  function removeMarker(id) {
    state.synced.delete(id);
    command('deleteComment', { commentId: id }, 'Deleting a marker');
  }

  function sortedComments() {
    return Array.from(state.comments.values()).sort(function (a, b) {
      return a.timestamp - b.timestamp || (a.createdAt < b.createdAt ? -1 : 1);
    });
  }

  function renderComments() {
    var list = $('comments');
    var showResolved = $('show-resolved').checked;
    // The list is rebuilt on every change: an edit being typed keeps its caret.
    var typing = document.activeElement && document.activeElement.classList.contains('edit')
      ? [document.activeElement.selectionStart, document.activeElement.selectionEnd] : null;
    list.textContent = '';
    var all = sortedComments();
    $('comment-count').textContent = '(' + all.filter(function (c) { return !c.resolved; }).length + ' open, ' + all.length + ' in all)';
    all.forEach(function (comment) {
      if (comment.resolved && !showResolved && comment.id !== state.highlighted) return;
      list.appendChild(commentNode(comment));
    });
    var editor = list.querySelector('textarea.edit');
    if (editor && typing) {
      editor.focus();
      editor.setSelectionRange(typing[0], typing[1]);
    }
  }

  function commentNode(comment) {
    var item = el('li', 'comment' + (comment.resolved ? ' resolved' : '') + (comment.id === state.highlighted ? ' highlighted' : ''));
    item.dataset.id = comment.id;
    var meta = el('div', 'meta');
    var when = timecode(comment.timestamp);
    if (comment.timestampEnd !== null && comment.timestampEnd !== undefined) when += ' – ' + timecode(comment.timestampEnd);
    meta.appendChild(el('span', 'time', when));
    meta.appendChild(el('span', 'author', comment.userName));
    meta.appendChild(el('span', 'badge ' + (comment.resolved ? 'resolved' : 'open'), comment.resolved ? 'resolved' : 'open'));
    item.appendChild(meta);

    if (state.editing === comment.id) {
      var editor = el('textarea', 'edit');
      editor.dir = 'auto';
      editor.value = state.draft !== null ? state.draft : comment.content;
      editor.rows = 3;
      editor.addEventListener('input', function () { state.draft = editor.value; });
      item.appendChild(editor);
      var editActions = el('div', 'actions');
      editActions.appendChild(button('Save', function () {
        var content = editor.value.trim();
        if (!content) { showProblem('A comment needs some text'); return; }
        updateComment(comment.id, { content: content }).then(function () { stopEditing(); renderComments(); });
      }));
      editActions.appendChild(button('Cancel', function () { stopEditing(); renderComments(); }));
      item.appendChild(editActions);
    } else {
      item.appendChild(el('div', 'content', comment.content));
      var actions = el('div', 'actions');
      actions.appendChild(button(comment.resolved ? 'Reopen' : 'Resolve', function () {
        updateComment(comment.id, { resolved: !comment.resolved });
      }));
      actions.appendChild(button('Edit', function () {
        state.editing = comment.id;
        state.draft = null;
        renderComments();
        var editor = $('comments').querySelector('textarea.edit');
        if (editor) editor.focus();
      }));
      // Confirmed in the page itself: a native confirm dialog would stop the
      // page in the panel's web view until answered (or answer "no" at once
      // where the host shows no dialogs).
      var asking = state.confirmDelete === comment.id;
      var remove = actions.appendChild(button(asking ? 'Delete for good' : 'Delete', function () {
        if (!asking) { state.confirmDelete = comment.id; renderComments(); return; }
        state.confirmDelete = null;
        api('DELETE', '/api/comments/' + encodeURIComponent(comment.id)).then(function () {
          forgetComment(comment.id);
        }, function (error) { showProblem('Deleting the comment failed: ' + error.message); });
      }));
      if (asking) remove.className = 'confirm';
      item.appendChild(actions);
    }
    item.addEventListener('click', function (event) {
      if (event.target.closest('button, textarea')) return;
      state.highlighted = comment.id;
      state.playhead = comment.timestamp;
      renderEditor();
      renderComments();
      command('seekTo', { seconds: comment.timestamp }, 'Moving the playhead');
    });
    return item;
  }

  function button(label, action) {
    var node = el('button', '', label);
    node.type = 'button';
    node.addEventListener('click', function (event) { event.stopPropagation(); action(); });
    return node;
  }

  function stopEditing() {
    state.editing = null;
    state.draft = null;
  }

  // Takes a comment from the feed, or from the answer to the page's own change
  // (`answer.seen`: the comment's state count when the change was sent). The
  // feed brings the page's own change too, in order: once it has brought any
  // state of the comment since, or its deletion, the answer is out of date.
  function rememberComment(comment, answer) {
    if (state.gone.has(comment.id)) return;
    if (answer && state.states.get(comment.id) !== answer.seen) return;
    if (!answer) state.states.set(comment.id, (state.states.get(comment.id) || 0) + 1);
    state.comments.set(comment.id, comment);
    renderComments();
    syncMarker(comment);
  }

  function forgetComment(id) {
    var known = state.comments.delete(id);
    state.gone.add(id);
    if (state.highlighted === id) state.highlighted = null;
    if (state.editing === id) stopEditing();
    renderComments();
    if (known) removeMarker(id);
  }

  function updateComment(id, fields) {
    var seen = state.states.get(id);
    return api('PATCH', '/api/comments/' + encodeURIComponent(id), fields).then(function (comment) {
      rememberComment(comment, { seen: seen });
    }, function (error) {
      showProblem('Saving the comment failed: ' + error.message);
      throw error;
    });
  }

  $('new-comment').addEventListener('submit', function (event) {
    event.preventDefault();
    var content = $('new-content').value.trim();
    if (!content) { showProblem('A comment needs some text'); return; }
    var body = Object.assign(newRange(), { content: content, userName: $('author').value.trim() || 'Reviewer' });
    try { localStorage.setItem('tavrin-author', body.userName); } catch (e) { /* private mode */ }
    $('add-comment').disabled = true;
    api('POST', '/api/projects/' + encodeURIComponent(projectId) + '/comments', body).then(function (comment) {
      $('new-content').value = '';
      state.markIn = null;
      renderEditor();
      rememberComment(comment, { seen: undefined });
    }, function (error) {
      showProblem('Adding the comment failed: ' + error.message);
    }).then(function () { $('add-comment').disabled = false; });
  });

  $('mark-in').addEventListener('click', function () {
    state.markIn = state.markIn === null ? state.playhead : null;
    renderEditor();
  });
  $('show-resolved').addEventListener('change', renderComments);

  $('sync-all').addEventListener('click', function () {
    var records = sortedComments().map(recordOf);
    var before = new Map(state.synced);
    command('syncAllComments', { comments: records }, 'Syncing all markers').then(function (ok) {
      // A comment synced or deleted on its own meanwhile keeps that newer state.
      if (ok === true) records.forEach(function (r) {
        if (state.synced.get(r.id) === before.get(r.id) && state.comments.has(r.id))
          state.synced.set(r.id, JSON.stringify(r));
      });
    });
  });
  $('clear-markers').addEventListener('click', function () {
    command('clearAllMarkers', {}, 'Clearing the markers').then(function (ok) {
      if (ok === true) state.synced.clear();
    });
  });

  // ---- export uploads ---------------------------------------------------------------------

  function renderExport() {
    // The field clips the path at its start (right to left); the path itself
    // is isolated left to right, or its leading "/" would show at its end.
    $('folder').textContent = '';
    $('folder').appendChild(el('bdi', '', state.folder || 'No folder chosen')).dir = 'ltr';
    $('folder').title = state.folder || '';
    // One folder, start or stop request at a time: answers coming back in
    // another order would leave the page showing the wrong watch state.
    $('choose-folder').disabled = state.exportBusy;
    $('start-export').disabled = state.exportBusy || state.watching;
    $('stop-export').disabled = state.exportBusy || !state.watching;
    $('export-state').textContent = state.watching
      ? 'Watching ' + (state.folder || 'the chosen folder') + ' for exports'
      : 'Not watching';
  }

  function exportCommand(name, args, what) {
    state.exportBusy = true;
    renderExport();
    return command(name, args, what).then(function (value) {
      state.exportBusy = false;
      return value;
    });
  }

  $('choose-folder').addEventListener('click', function () {
    exportCommand('selectOutputFolder', {}, 'Choosing the export folder').then(function (folder) {
      if (typeof folder === 'string') state.folder = folder;
      renderExport();
    });
  });
  $('start-export').addEventListener('click', function () {
    var config = { projectId: projectId, token: token };
    var name = $('export-name').value.trim() || (state.sequence && state.sequence.name);
    if (name) config.name = name;
    if (state.folder) config.outputFolder = state.folder;
    // A refused start leaves an earlier watch running.
    exportCommand('startExport', { config: config }, 'Starting to watch for exports').then(function (ok) {
      state.watching = ok === true || state.watching;
      renderExport();
    });
  });
  $('stop-export').addEventListener('click', function () {
    exportCommand('cancelExport', {}, 'Stopping the export watch').then(function (ok) {
      if (ok === true) state.watching = false;
      renderExport();
    });
  });

  function formatSize(bytes) {
    if (typeof bytes !== 'number') return '';
    var units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
    var i = 0;
    while (bytes >= 1024 && i < units.length - 1) { bytes /= 1024; i++; }
    return (i ? bytes.toFixed(1) : bytes) + ' ' + units[i];
  }

  function renderVideos() {
    var list = $('videos');
    list.textContent = '';
    var videos = Array.from(state.videos.values()).sort(function (a, b) { return a.createdAt < b.createdAt ? 1 : -1; });
    if (!videos.length) list.appendChild(el('li', 'hint', 'No videos yet'));
    videos.forEach(function (video) {
      var item = el('li');
      item.dataset.id = video.id;
      item.appendChild(el('span', 'name', video.name));
      item.appendChild(el('span', 'size', video.status === 'ready' ? formatSize(video.size) : ''));
      item.appendChild(el('span', 'badge ' + video.status, video.status));
      list.appendChild(item);
    });
  }

  // ---- links open in the user's browser ------------------------------------------------------

  $('open-browser').href = location.origin + '/fcp-panel/login?project=' + encodeURIComponent(projectId);
  document.addEventListener('click', function (event) {
    var link = event.target.closest('a[href]');
    if (!link) return;
    event.preventDefault();
    command('openURL', { url: link.href }, 'Opening ' + link.href);
  });

  // ---- loading and the change feed ----------------------------------------------------------

  function applyChange(change) {
    var object = change.object;
    if (change.type === 'comment.created' || change.type === 'comment.updated') {
      rememberComment(object);
    } else if (change.type === 'comment.deleted') {
      forgetComment(change.id);
    } else if (change.type === 'video.created' || change.type === 'video.updated') {
      state.videos.set(object.id, object);
      renderVideos();
    }
  }

  function load() {
    return api('GET', '/api/projects/' + encodeURIComponent(projectId)).then(function (workspace) {
      setService(true, 'online');
      $('project-name').textContent = workspace.project.name;
      state.cursor = workspace.cursor;
      state.videos.clear();
      workspace.videos.forEach(function (v) { state.videos.set(v.id, v); });
      var before = state.comments;
      state.comments = new Map();
      workspace.comments.forEach(function (c) {
        state.comments.set(c.id, c);
        state.states.set(c.id, (state.states.get(c.id) || 0) + 1);
        state.gone.delete(c.id); // a service reset to its demo project makes them again
      });
      // Loaded again (the service came back): changes made while the feed was
      // away reach the markers too.
      if (state.loaded) {
        before.forEach(function (old, id) {
          if (state.comments.has(id)) return;
          state.comments.set(id, old);
          forgetComment(id);
        });
        state.comments.forEach(function (c) {
          var old = before.get(c.id);
          if (!old || JSON.stringify(recordOf(old)) !== JSON.stringify(recordOf(c))) syncMarker(c);
        });
      }
      state.loaded = true;
      renderComments();
      renderVideos();
    });
  }

  // A long poll: each answer comes as soon as something changed (or after
  // 25 s with nothing), so changes made elsewhere show up at once.
  function follow() {
    api('GET', '/api/projects/' + encodeURIComponent(projectId) + '/changes?since=' + state.cursor + '&wait=25')
      .then(function (feed) {
        setService(true, 'online');
        state.cursor = feed.cursor;
        feed.changes.forEach(applyChange);
        follow();
      }, function (error) {
        setService(false, 'offline');
        setTimeout(function () { start(); }, 2000);
        console.warn('[Tavrin] change feed: ' + error.message);
      });
  }

  function start() {
    load().then(follow, function (error) {
      setService(false, 'unreachable');
      showProblem('Loading the project failed: ' + error.message);
      setTimeout(start, 5000);
    });
  }

  try { $('author').value = localStorage.getItem('tavrin-author') || ''; } catch (e) { /* private mode */ }
  renderEditor();
  renderExport();
  start();
})();
