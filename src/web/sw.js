// Keeps the page's files of this build for a quick start. The browser lets a page register it
// only where it verified the bridge's certificate (not where a warning was clicked through),
// which is also how the page tells whether this phone verifies the computer.
//
// Assets are content-hashed under /assets/<build>/: kept, they are what the bridge would send,
// so they come from here first. The page itself comes from the bridge first and from here only
// when the bridge cannot be reached, so a new build is picked up at the next load; this script
// names its build, so a new build is a new worker, which drops the files of the old one.

const build = "{{build}}";
const cacheName = `tarnwick-${build}`;

self.addEventListener("install", (event) => {
  // The page of this build; its assets are kept as the page asks for them.
  event.waitUntil(caches.open(cacheName).then((cache) => cache.add("/")));
  self.skipWaiting();
});

self.addEventListener("activate", (event) => {
  event.waitUntil(
    (async () => {
      for (const name of await caches.keys()) {
        if (name !== cacheName) await caches.delete(name);
      }
      await self.clients.claim();
    })(),
  );
});

async function keep(request, response) {
  if (response.ok && response.type === "basic") {
    const cache = await caches.open(cacheName);
    await cache.put(request, response.clone());
  }
  return response;
}

async function cacheFirst(request) {
  const kept = await caches.match(request);
  return kept ?? keep(request, await fetch(request));
}

async function networkFirst(request) {
  try {
    return await keep(request, await fetch(request));
  } catch (error) {
    const kept = await caches.match(request);
    if (kept) return kept;
    throw error;
  }
}

self.addEventListener("fetch", (event) => {
  const request = event.request;
  const url = new URL(request.url);
  if (request.method !== "GET" || url.origin !== self.location.origin) return;
  if (url.pathname.startsWith("/assets/")) {
    event.respondWith(cacheFirst(request));
  } else if (url.pathname === "/" || url.pathname === "/trust") {
    event.respondWith(networkFirst(request));
  }
  // Anything else (the downloads, the manifest) goes to the bridge as usual.
});
