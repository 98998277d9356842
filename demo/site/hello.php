<?php
// A PHP page run through the CGI gateway: query string, server variables, cookies.
$name = isset($_GET['name']) ? $_GET['name'] : 'world';
$visits = isset($_COOKIE['visits']) ? (int)$_COOKIE['visits'] + 1 : 1;
setcookie('visits', (string)$visits);
function h($s) { return htmlspecialchars((string)$s, ENT_QUOTES, 'UTF-8'); }
?><!DOCTYPE html>
<html><head><meta charset="utf-8"><title>PHP page</title><link rel="stylesheet" href="style.css"></head>
<body><header><h1>Hello, <?= h($name) ?>!</h1></header>
<main>
<p>This page was made by PHP <?= h(PHP_VERSION) ?> at <?= h(gmdate('H:i:s')) ?> UTC.
You have opened it <?= $visits ?> time(s) (a cookie counts).</p>
<div class="card"><table>
<?php foreach (['REQUEST_METHOD', 'QUERY_STRING', 'SCRIPT_NAME', 'SERVER_PORT', 'SERVER_SOFTWARE', 'REMOTE_ADDR', 'HTTP_USER_AGENT'] as $k): ?>
<tr><th><?= h($k) ?></th><td><?= h(isset($_SERVER[$k]) ? $_SERVER[$k] : '') ?></td></tr>
<?php endforeach; ?>
</table></div>
<p><a href="index.html">Back</a></p>
</main></body></html>
