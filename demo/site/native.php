<?php
// The same interface from PHP: require the library whose path Vantrel gives
// in VANTREL_PHP; each function is one call with the application's token.
require getenv('VANTREL_PHP');

if ($_SERVER['REQUEST_METHOD'] === 'POST' && isset($_POST['text'])) {
    // The user says where with the desktop's save dialog (the request waits
    // for the answer); the file is written only where the user chose.
    header('Content-Type: application/json');
    try {
        $paths = Vantrel\dialog(['kind' => 'save', 'name' => 'notes.txt',
                                 'filters' => [['name' => 'Text', 'patterns' => ['*.txt']]]])['paths'];
        $saved = $paths && file_put_contents($paths[0], $_POST['text']) !== false;
        if ($saved) Vantrel\notify(['title' => 'Saved', 'body' => basename($paths[0]), 'open' => '/native.html']);
        echo json_encode(['ok' => true, 'paths' => $paths, 'saved' => $saved]);
    } catch (Vantrel\Error $e) {
        echo json_encode(['ok' => false, 'error' => $e->getMessage()]);
    }
    exit;
}

$result = null;
try {
    if (isset($_GET['notify'])) $result = Vantrel\notify(['title' => 'Vantrel demo', 'body' => 'Sent from PHP']);
    $info = Vantrel\info();
    $arguments = Vantrel\arguments();
} catch (Vantrel\Error $e) {
    $error = $e->getMessage();
}
$h = fn($v) => htmlspecialchars(json_encode($v, JSON_UNESCAPED_SLASHES), ENT_QUOTES);
?><!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Native from PHP</title><link rel="stylesheet" href="style.css"></head>
<body><header><h1>The desktop, from PHP</h1></header>
<main>
<div class="card">
<pre>require getenv('VANTREL_PHP');
Vantrel\notify(['title' => 'Vantrel demo', 'body' => 'Sent from PHP']);</pre>
<p><a class="big" href="native.php?notify=1">Send a notification from PHP</a></p>
<?php if ($result): ?><p>Reply: <code><?= $h($result) ?></code></p><?php endif ?>
<?php if (isset($error)): ?><p>Refused: <?= htmlspecialchars($error) ?></p><?php endif ?>
</div>
<div class="card"><h3>Vantrel\info() and Vantrel\arguments()</h3>
<p><code><?= $h($info ?? null) ?></code></p>
<p><code><?= $h($arguments ?? null) ?></code></p>
</div>
<p><a href="native.html">The same from a page</a> &middot; <a href="index.html">Back</a></p>
</main></body></html>
