<?php
function h($s) { return htmlspecialchars((string)$s, ENT_QUOTES, 'UTF-8'); }
$method = $_SERVER['REQUEST_METHOD'];
$text = $method === 'POST' ? ($_POST['text'] ?? '') : ($_GET['text'] ?? '');
$choice = $method === 'POST' ? ($_POST['choice'] ?? '') : ($_GET['choice'] ?? '');
?><!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Forms</title><link rel="stylesheet" href="style.css"></head>
<body><header><h1>Forms</h1></header>
<main>
<?php if ($text !== '' || $choice !== ''): ?>
<div class="card"><p>Received by <b><?= h($method) ?></b>: text "<?= h($text) ?>", choice "<?= h($choice) ?>".</p></div>
<?php endif; ?>
<div class="card"><h3>GET</h3>
<form method="get" action="form.php">
<input name="text" value="typed text"> <select name="choice"><option>one</option><option>two</option></select>
<button type="submit">Send with GET</button></form></div>
<div class="card"><h3>POST</h3>
<form method="post" action="form.php?from=post">
<input name="text" value="posted text"> <select name="choice"><option>three</option><option>four</option></select>
<button type="submit">Send with POST</button></form></div>
<p><a href="index.html">Back</a></p>
</main></body></html>
