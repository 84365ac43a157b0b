'use strict';

// Zoom and pan of one picture, with an SVG overlay drawn in the picture's own
// pixels. Marks that must keep their size on screen (handles, points, labels)
// go inside a group of class "marker": the stylesheet undoes the zoom there.

const SVG_NS = 'http://www.w3.org/2000/svg';

function svgElement(name, attributes = {}) {
  const element = document.createElementNS(SVG_NS, name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, value);
  return element;
}

class Viewer {
  // `handlers`: onZoom(scale), onHandleMove(index, x, y), onHandleKey(index, dx, dy).
  constructor(viewport, handlers) {
    this.viewport = viewport;
    this.handlers = handlers;
    this.stage = document.createElement('div');
    this.stage.className = 'stage';
    this.overlay = svgElement('svg', {class: 'overlay'});
    this.stage.append(this.overlay);
    viewport.append(this.stage);
    this.content = null;
    this.width = 0;
    this.height = 0;
    this.scale = 1;
    this.x = 0;
    this.y = 0;
    this.drag = null;
    this.stage.hidden = true;

    viewport.addEventListener('wheel', (event) => this.onWheel(event), {passive: false});
    viewport.addEventListener('pointerdown', (event) => this.onPointerDown(event));
    viewport.addEventListener('pointermove', (event) => this.onPointerMove(event));
    viewport.addEventListener('pointerup', (event) => this.onPointerUp(event));
    viewport.addEventListener('pointercancel', (event) => this.onPointerUp(event));
    viewport.addEventListener('keydown', (event) => this.onKey(event));
    new ResizeObserver(() => { if (this.content && this.fitted) this.fit(); }).observe(viewport);
  }

  // Shows `element` (an image or a canvas) of the given size, fitted.
  show(element, width, height) {
    if (this.content) this.content.remove();
    this.content = element;
    this.width = width;
    this.height = height;
    element.draggable = false;
    this.stage.insertBefore(element, this.overlay);
    this.overlay.setAttribute('width', width);
    this.overlay.setAttribute('height', height);
    this.overlay.setAttribute('viewBox', `0 0 ${width} ${height}`);
    this.stage.hidden = false;
    this.fit();
  }

  clear() {
    if (this.content) this.content.remove();
    this.content = null;
    this.overlay.replaceChildren();
    this.stage.hidden = true;
  }

  fit() {
    if (!this.content) return;
    const box = this.viewport.getBoundingClientRect();
    const margin = 24;
    const scale = Math.min((box.width - 2 * margin) / this.width,
                           (box.height - 2 * margin) / this.height, 4);
    this.scale = Math.max(scale, 0.01);
    this.x = (box.width - this.width * this.scale) / 2;
    this.y = (box.height - this.height * this.scale) / 2;
    this.fitted = true;
    this.apply();
  }

  // Zooms by `factor` keeping the viewport point (cx, cy) still; the centre
  // when none is given.
  zoomBy(factor, cx, cy) {
    if (!this.content) return;
    const box = this.viewport.getBoundingClientRect();
    if (cx === undefined) { cx = box.width / 2; cy = box.height / 2; }
    const scale = Math.min(Math.max(this.scale * factor, 0.01), 64);
    this.x = cx - (cx - this.x) * (scale / this.scale);
    this.y = cy - (cy - this.y) * (scale / this.scale);
    this.scale = scale;
    this.fitted = false;
    this.apply();
  }

  actualSize() { this.zoomBy(1 / this.scale); }

  apply() {
    this.stage.style.transform = `translate(${this.x}px, ${this.y}px) scale(${this.scale})`;
    this.stage.classList.toggle('pixelated', this.scale >= 3);
    this.overlay.style.setProperty('--zoom', this.scale);
    if (this.handlers.onZoom) this.handlers.onZoom(this.scale);
  }

  // The picture's pixel under a point of the window.
  toPicture(clientX, clientY) {
    const box = this.viewport.getBoundingClientRect();
    return [(clientX - box.left - this.x) / this.scale, (clientY - box.top - this.y) / this.scale];
  }

  onWheel(event) {
    if (!this.content) return;
    event.preventDefault();
    const box = this.viewport.getBoundingClientRect();
    const steps = event.deltaMode === 1 ? event.deltaY * 20 : event.deltaY;
    this.zoomBy(Math.exp(-steps * 0.0015), event.clientX - box.left, event.clientY - box.top);
  }

  onPointerDown(event) {
    if (!this.content || event.button !== 0) return;
    const handle = event.target.closest && event.target.closest('[data-handle]');
    if (handle) {
      const index = Number(handle.dataset.handle);
      const [x, y] = this.toPicture(event.clientX, event.clientY);
      const at = handle.dataset.at.split(',').map(Number);
      // Held where it was grabbed, not snapped to the pointer.
      this.drag = {handle: index, dx: at[0] - x, dy: at[1] - y};
      handle.focus({preventScroll: true});
    } else {
      this.drag = {pan: true, x: event.clientX - this.x, y: event.clientY - this.y};
      this.viewport.classList.add('panning');
      this.viewport.focus({preventScroll: true});
    }
    this.viewport.setPointerCapture(event.pointerId);
    event.preventDefault();
  }

  onPointerMove(event) {
    if (!this.drag) return;
    if (this.drag.pan) {
      this.x = event.clientX - this.drag.x;
      this.y = event.clientY - this.drag.y;
      this.fitted = false;
      this.apply();
      return;
    }
    const [x, y] = this.toPicture(event.clientX, event.clientY);
    this.handlers.onHandleMove(this.drag.handle, x + this.drag.dx, y + this.drag.dy);
  }

  onPointerUp(event) {
    if (!this.drag) return;
    this.drag = null;
    this.viewport.classList.remove('panning');
    if (this.viewport.hasPointerCapture(event.pointerId)) {
      this.viewport.releasePointerCapture(event.pointerId);
    }
  }

  onKey(event) {
    const handle = event.target.closest && event.target.closest('[data-handle]');
    const arrows = {ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1]};
    if (handle && arrows[event.key]) {
      const step = event.shiftKey ? 10 : 1;
      const [dx, dy] = arrows[event.key];
      this.handlers.onHandleKey(Number(handle.dataset.handle), dx * step, dy * step);
      event.preventDefault();
      return;
    }
    if (event.key === '+' || event.key === '=') this.zoomBy(1.25);
    else if (event.key === '-') this.zoomBy(0.8);
    else if (event.key === '0') this.fit();
    else if (event.key === '1') this.actualSize();
    else return;
    event.preventDefault();
  }
}
