<?php
function h($s) { return htmlspecialchars((string)$s, ENT_QUOTES, 'UTF-8'); }
// An uploaded file is described, not kept.
$upload = null;
if (isset($_FILES['upload']) && $_FILES['upload']['error'] === UPLOAD_ERR_OK) {
    $upload = ['name' => $_FILES['upload']['name'], 'size' => $_FILES['upload']['size'],
               'sha1' => sha1_file($_FILES['upload']['tmp_name'])];
}
?><!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Files</title><link rel="stylesheet" href="style.css"></head>
<body><header><h1>Downloads and uploads</h1></header>
<main>
<div class="card"><h3>Downloads</h3>
<p>The browser asks where to save each of these.</p>
<p><a class="big" href="files/sample.txt.gz">A file the browser cannot show</a>
<a class="big" href="download.php">A report sent as an attachment</a></p></div>
<div class="card"><h3>Upload</h3>
<?php if ($upload): ?>
<p>Received <b><?= h($upload['name']) ?></b>: <?= (int)$upload['size'] ?> bytes, SHA-1 <code><?= h($upload['sha1']) ?></code>.</p>
<?php endif; ?>
<form method="post" enctype="multipart/form-data" action="files.php">
<input type="file" name="upload"> <button type="submit">Upload</button></form></div>
<p><a href="index.html">Back</a></p>
</main></body></html>
