// The profile plot: y across, z up, both in millimetres at the same scale, so
// a joint looks as it is. The range follows the data, widening at once and
// narrowing slowly, so the picture does not jump with every profile.
'use strict';

class ProfilePlot {
  constructor(canvas) {
    this.canvas = canvas;
    this.ctx = canvas.getContext('2d');
    this.range = null; // {y0, y1, z0, z1} in the camera's unit
    this.lastDrawn = { points: [], seam: null, trail: [], range: null, stale: false };
  }

  static niceStep(span) {
    const raw = span / 6;
    const p = Math.pow(10, Math.floor(Math.log10(raw)));
    for (const m of [1, 2, 5, 10]) if (m * p >= raw) return m * p;
    return 10 * p;
  }

  follow(points) {
    if (!points.length) return;
    let y0 = Infinity, y1 = -Infinity, z0 = Infinity, z1 = -Infinity;
    for (const [y, z] of points) {
      y0 = Math.min(y0, y); y1 = Math.max(y1, y);
      z0 = Math.min(z0, z); z1 = Math.max(z1, z);
    }
    const pad = Math.max(0.5, 0.05 * Math.max(y1 - y0, z1 - z0));
    const want = { y0: y0 - pad, y1: y1 + pad, z0: z0 - pad, z1: z1 + pad };
    if (!this.range) { this.range = want; return; }
    const r = this.range, k = 0.05;
    r.y0 = want.y0 < r.y0 ? want.y0 : r.y0 + (want.y0 - r.y0) * k;
    r.y1 = want.y1 > r.y1 ? want.y1 : r.y1 + (want.y1 - r.y1) * k;
    r.z0 = want.z0 < r.z0 ? want.z0 : r.z0 + (want.z0 - r.z0) * k;
    r.z1 = want.z1 > r.z1 ? want.z1 : r.z1 + (want.z1 - r.z1) * k;
  }

  // points: [[y, z], ...]; seam: {found, y, z} or null; trail: [[y, z], ...] oldest first.
  draw(points, seam, trail, stale, message) {
    const { canvas, ctx } = this;
    const W = canvas.width, H = canvas.height;
    const left = 70, right = 20, top = 20, bottom = 50;
    ctx.clearRect(0, 0, W, H);
    this.follow(points);
    const r = this.range || { y0: -10, y1: 10, z0: -10, z1: 10 };
    // Same millimetres per pixel on both axes, centred in the drawing area.
    const pw = W - left - right, ph = H - top - bottom;
    const scale = Math.min(pw / (r.y1 - r.y0), ph / (r.z1 - r.z0));
    const yc = (r.y0 + r.y1) / 2, zc = (r.z0 + r.z1) / 2;
    const px = (y) => left + pw / 2 + (y - yc) * scale;
    const py = (z) => top + ph / 2 - (z - zc) * scale;
    const vy0 = yc - pw / 2 / scale, vy1 = yc + pw / 2 / scale;
    const vz0 = zc - ph / 2 / scale, vz1 = zc + ph / 2 / scale;

    // Grid, ticks and axis labels.
    ctx.font = '12px system-ui, sans-serif';
    ctx.strokeStyle = '#e3e6ea'; ctx.fillStyle = '#444'; ctx.lineWidth = 1;
    const step = ProfilePlot.niceStep(Math.max(vy1 - vy0, vz1 - vz0));
    ctx.textAlign = 'center'; ctx.textBaseline = 'top';
    for (let y = Math.ceil(vy0 / step) * step; y <= vy1; y += step) {
      ctx.beginPath(); ctx.moveTo(px(y), top); ctx.lineTo(px(y), top + ph); ctx.stroke();
      ctx.fillText(+y.toFixed(3) + '', px(y), top + ph + 4);
    }
    ctx.textAlign = 'right'; ctx.textBaseline = 'middle';
    for (let z = Math.ceil(vz0 / step) * step; z <= vz1; z += step) {
      ctx.beginPath(); ctx.moveTo(left, py(z)); ctx.lineTo(left + pw, py(z)); ctx.stroke();
      ctx.fillText(+z.toFixed(3) + '', left - 6, py(z));
    }
    ctx.strokeStyle = '#888'; ctx.strokeRect(left, top, pw, ph);
    ctx.textAlign = 'center'; ctx.textBaseline = 'bottom';
    ctx.fillText('y (camera unit; simulator: mm)', left + pw / 2, H - 4);
    ctx.save(); ctx.translate(16, top + ph / 2); ctx.rotate(-Math.PI / 2);
    ctx.textBaseline = 'middle'; ctx.fillText('z (camera unit; simulator: mm)', 0, 0); ctx.restore();

    ctx.save();
    ctx.beginPath(); ctx.rect(left, top, pw, ph); ctx.clip();
    // The seam's recent positions, fading with age.
    trail.forEach(([y, z], i) => {
      ctx.fillStyle = `rgba(214, 93, 14, ${0.1 + 0.6 * (i + 1) / trail.length})`;
      ctx.beginPath(); ctx.arc(px(y), py(z), 2.5, 0, 2 * Math.PI); ctx.fill();
    });
    // The profile.
    ctx.strokeStyle = stale ? '#9aa3ad' : '#1a5fb4'; ctx.lineWidth = 1.5;
    ctx.beginPath();
    points.forEach(([y, z], i) => (i ? ctx.lineTo(px(y), py(z)) : ctx.moveTo(px(y), py(z))));
    ctx.stroke();
    if (points.length <= 400) {
      ctx.fillStyle = ctx.strokeStyle;
      for (const [y, z] of points) ctx.fillRect(px(y) - 1, py(z) - 1, 2, 2);
    }
    // The seam point.
    if (seam && seam.found) {
      ctx.strokeStyle = '#c01c28'; ctx.lineWidth = 2;
      const x = px(seam.y), y = py(seam.z);
      ctx.beginPath(); ctx.arc(x, y, 7, 0, 2 * Math.PI); ctx.stroke();
      ctx.beginPath(); ctx.moveTo(x - 11, y); ctx.lineTo(x + 11, y); ctx.moveTo(x, y - 11); ctx.lineTo(x, y + 11); ctx.stroke();
    }
    ctx.restore();
    if (message) {
      ctx.fillStyle = '#555'; ctx.font = '16px system-ui, sans-serif'; ctx.textAlign = 'center';
      ctx.fillText(message, left + pw / 2, top + 24);
    }
    this.lastDrawn = { points, seam, trail, range: { y0: vy0, y1: vy1, z0: vz0, z1: vz1 }, stale, message };
  }
}
