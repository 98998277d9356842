<?php
// The native interface of a Vantrel application, for its PHP pages and the
// programs they start:
//   require getenv('VANTREL_PHP');
//   Vantrel\notify(['title' => 'Saved']);
// Each function sends one call to the application's server with its token
// and returns the reply as an array; a refused call throws Vantrel\Error,
// whose code is the HTTP status.
namespace Vantrel;

if (!class_exists(__NAMESPACE__ . '\Error', false)) {

class Error extends \RuntimeException
{
    /** @var array the reply, ['ok' => false, 'error' => ...] */
    public $reply;

    public function __construct(string $message, int $status, array $reply = [])
    {
        parent::__construct($message, $status);
        $this->reply = $reply;
    }
}

/** Sends one call: GET without $body, POST with it as JSON. */
function call(string $name, ?array $body = null, int $timeout = 3600): array
{
    $base = getenv('VANTREL_NATIVE_URL');
    $token = getenv('VANTREL_SERVER_TOKEN');
    if ($base === false || $token === false) {
        throw new Error('not run by a Vantrel application (VANTREL_NATIVE_URL and VANTREL_SERVER_TOKEN are unset)', 0);
    }
    $headers = ['X-Vantrel-Token: ' . $token, 'Cookie: vantrel_token=' . $token, 'Connection: close'];
    $http = ['method' => 'GET', 'ignore_errors' => true, 'timeout' => $timeout, 'protocol_version' => 1.1];
    if ($body !== null) {
        $http['method'] = 'POST';
        $headers[] = 'Content-Type: application/json';
        $http['content'] = json_encode((object) $body, JSON_UNESCAPED_SLASHES | JSON_THROW_ON_ERROR);
    }
    $http['header'] = $headers;
    $text = @file_get_contents($base . $name, false, stream_context_create(['http' => $http]));
    if ($text === false) {
        throw new Error('cannot reach the application at ' . $base, 0);
    }
    $status = 0;
    foreach ($http_response_header ?? [] as $line) {
        if (preg_match('#^HTTP/\S+\s+(\d{3})#', $line, $m)) {
            $status = (int) $m[1];
        }
    }
    $reply = json_decode($text, true);
    if (!is_array($reply)) {
        throw new Error('the reply is not JSON (HTTP ' . $status . ')', $status);
    }
    if ($status !== 200 || empty($reply['ok'])) {
        throw new Error($reply['error'] ?? ('HTTP ' . $status), $status, $reply);
    }
    return $reply;
}

function info(): array { return call('info'); }
function arguments(): array { return call('arguments')['arguments']; }
/** ['title' => ..., 'body' => ..., 'icon' => ..., 'open' => '/path'] */
function notify(array $notification): array { return call('notify', $notification); }
function clipboard_text(): string { return call('clipboard')['text']; }
function set_clipboard_text(string $text): array { return call('clipboard', ['text' => $text]); }
function window_state(): array { return call('window'); }
/** Any of fullscreen, maximized, minimized, above, width, height, present. */
function set_window(array $change): array { return call('window', $change); }
/** ['kind' => 'open' | 'open-multiple' | 'folder' | 'save' | 'message', ...] */
function dialog(array $dialog): array { return call('dialog', $dialog); }
function open_uri(string $uri): array { return call('open', ['uri' => $uri]); }
function open_path(string $path): array { return call('open', ['path' => $path]); }
function reveal(string $path): array { return call('reveal', ['path' => $path]); }
function trash(string $path): array { return call('trash', ['path' => $path]); }
/** Any of tooltip, icon, visible. */
function tray(array $change): array { return call('tray', $change); }
function autostart(): bool { return call('autostart')['enabled']; }
function set_autostart(bool $enabled): array { return call('autostart', ['enabled' => $enabled]); }

}
