<?php
// Notes kept in a JSON file in the application's private data folder
// (VANTREL_DATA_DIR), so the site itself can stay read-only. The folder's
// first contents come from data.seed/ in the application folder.
function h($s) { return htmlspecialchars((string)$s, ENT_QUOTES, 'UTF-8'); }
$dir = getenv('VANTREL_DATA_DIR');
$file = $dir ? $dir . '/notes.json' : '';

function load_notes($file) {
    if ($file === '' || !is_file($file)) return [];
    $notes = json_decode((string)file_get_contents($file), true);
    return is_array($notes) ? $notes : [];
}

// Replaces the file in one step, so a reader never sees half of it.
function save_notes($file, $notes) {
    $temp = $file . '.new';
    if (file_put_contents($temp, json_encode($notes, JSON_PRETTY_PRINT | JSON_UNESCAPED_UNICODE), LOCK_EX) === false)
        return false;
    return rename($temp, $file);
}

$error = '';
if ($_SERVER['REQUEST_METHOD'] === 'POST' && $file !== '') {
    $notes = load_notes($file);
    if (isset($_POST['clear'])) {
        $notes = [];
    } elseif (trim((string)($_POST['text'] ?? '')) !== '') {
        $notes[] = ['text' => trim($_POST['text']), 'time' => gmdate('Y-m-d H:i:s') . ' UTC'];
    }
    if (save_notes($file, $notes)) {
        header('Location: notes.php');  // a reload does not post again
        exit;
    }
    $error = 'The notes could not be saved in ' . $dir . '.';
}
$notes = load_notes($file);
?><!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Notes</title><link rel="stylesheet" href="style.css"></head>
<body><header><h1>Notes</h1></header>
<main>
<?php if ($file === ''): ?>
<p class="card">VANTREL_DATA_DIR is not set: this page runs inside the Vantrel window only.</p>
<?php else: ?>
<p>Stored in <code><?= h($file) ?></code>; they are still here after a restart.</p>
<?php if ($error !== ''): ?><p class="card"><?= h($error) ?></p><?php endif; ?>
<div class="card"><ul>
<?php foreach ($notes as $note): ?>
<li><?= h($note['text'] ?? '') ?> <small>(<?= h($note['time'] ?? '') ?>)</small></li>
<?php endforeach; ?>
<?php if (!$notes): ?><li><i>No notes.</i></li><?php endif; ?>
</ul></div>
<form method="post" action="notes.php">
<input name="text" size="40" placeholder="A new note" autofocus> <button>Add</button>
<button name="clear" value="1">Remove all</button>
</form>
<?php endif; ?>
<p><a href="index.html">Back</a></p>
</main></body></html>
